// The V5 credential record (exact stored JSON, legacy and corruption rules), the hardware-key
// wrapper with its fallback, and pending registrations with their 900-second lifetime.

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "account/v5_test_support.hpp"
#include "core/storage/keychain_manager.hpp"

namespace velqo::testing {
namespace {

using StoreCase = V5CredentialStoreError::Case;

constexpr const char* kService = "com.test.velqo.v5";
constexpr const char* kPendingService = "com.test.velqo.v5.pending";

class V5StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { settings.setItemStore(items); }
  /// Sets the library's clock to `seconds` since 1970 until the test ends.
  void setNow(double seconds) { settings.setClock(clockAt(seconds)); }

  static std::string raw(const std::string& service, const std::string& user) {
    return textOf(KeychainManager::getData(service, user).value_or(Bytes{}));
  }

  ScopedPlatformSettings settings;
  std::shared_ptr<FaultyItemStore> items = FaultyItemStore::create();
  V5CredentialStore store{kService};
  V5PendingRegistrationStore pending{kPendingService};
};

// A complete record as the current format writes it ("/" escaped as stored records have it).
const char* kStoredRecord =
    R"j({"salt0":"AAAA","salt1":"AQEB","salt2":"AgIC","combinedPrs":"+\/8=","aPeer":"BAQE","version":1,)j"
    R"j("algorithmUsed":"ECDH P-256+Ed25519","osType":"Linux","userAgent":"App 1.0 (M; Linux 6)",)j"
    R"j("sdkVersion":"ios_v5_1.0_7","infoString":"aW5mbw==","wrapMetadata":{"type":"fallback","value":"BQUF"},)j"
    R"j("deviceToken":"dev-token"})j";

V5StoredPayload samplePayload() {
  return nlohmann::ordered_json::parse(kStoredRecord).get<V5StoredPayload>();
}

TEST_F(V5StoreTest, SavesTheExactRecordAndLoadsItsBytes) {
  store.save(samplePayload(), "Alice@Example");
  EXPECT_EQ(raw(kService, "Alice@Example"), kStoredRecord);
  EXPECT_EQ(raw(kService, "alice@example"), "") << "the user id is kept unchanged";

  store.save(samplePayload(), "Alice@Example");
  EXPECT_EQ(items->itemCount(), 1u);

  EXPECT_EQ(store.load("Alice@Example")->wrapMetadata, V5WrapMetadata::fallback(Bytes{5, 5, 5}));
  store.remove("Alice@Example");
  EXPECT_FALSE(store.load("Alice@Example"));

  items->failNext(FaultyItemStore::Operation::add, platform::status::notAvailable);
  EXPECT_THROW(store.save(samplePayload(), "bob"), V5CredentialStoreError) << "a failed write is reported";
}

// Each row of the data file changes the stored record: a key set to "-" is removed, any other
// value replaces it, and "*" replaces the whole record; then names the error case or null.
TEST_F(V5StoreTest, LegacyCorruptedAndOlderRecords) {
  std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "data" / "v5_record_changes.json");
  const auto rows = nlohmann::ordered_json::parse(in);
  ASSERT_GT(rows.size(), 16u);
  const std::map<std::string, StoreCase> cases = {{"legacyPayloadDetected", StoreCase::legacyPayloadDetected},
                                                  {"corruptedSecrets", StoreCase::corruptedSecrets},
                                                  {"decodingFailed", StoreCase::decodingFailed}};
  for (const auto& row : rows) {
    const std::string change = row[0].dump();
    SCOPED_TRACE(change);
    const auto expected =
        row[1].is_null() ? std::nullopt : std::optional(cases.at(row[1].get<std::string>()));
    auto record = nlohmann::ordered_json::parse(kStoredRecord);
    for (const auto& [key, value] : row[0].items()) {
      if (key == "*") {
        record = value;
      } else if (value == "-") {
        record.erase(key);
      } else {
        record[key] = value;
      }
    }
    ASSERT_TRUE(KeychainManager::save(bytesOf(record.dump()), kService, "u"));
    try {
      const auto material = store.load("u");
      ASSERT_TRUE(material);
      EXPECT_FALSE(expected) << "loaded";
      if (!record.contains("combinedPrs")) continue;
      EXPECT_EQ(material->combinedPrs, (record["combinedPrs"].is_null() ? Bytes{6, 6} : Bytes{0xfb, 0xff}));
      if (record.contains("userAgent")) continue;
      EXPECT_EQ(material->algorithmUsed, "ECDH P-256+Ed25519");
      EXPECT_EQ(material->environment, (V5EnvironmentInfo{"Linux Device", "Linux", "ios_v5_legacy"}));
    } catch (const V5CredentialStoreError& e) {
      ASSERT_TRUE(expected) << e.what();
      EXPECT_EQ(e.errorCase(), *expected) << e.what();
      if (change.find("%%") != std::string::npos) {
        EXPECT_NE(std::string(e.what()).find("Invalid base64 metadata"), std::string::npos) << e.what();
      }
    }
  }
}

TEST_F(V5StoreTest, AnyHardwareKeyFailureFallsBack) {
  const V5SecureEnclaveWrapper& wrapper = store.secureWrapper();
  items->failNext(FaultyItemStore::Operation::add, platform::status::ioError);
  auto fallback = wrapper.wrapSharedSecret("dave");  // the new hardware key is not stored
  ASSERT_EQ(fallback.metadata, V5WrapMetadata::fallback(fallback.sharedSecret));
  EXPECT_EQ(wrapper.unwrapSharedSecret(fallback.metadata, "dave"), fallback.sharedSecret);
}

// ---- pending registrations ----

V5PendingRegistration pendingFor(const std::string& user, double createdAt) {
  return V5PendingRegistration{user, "token-" + user, "fp-" + user,
                               V5EnvironmentInfo{"UA/1", "Linux", "ios_v5_1"}, createdAt};
}

TEST_F(V5StoreTest, PendingRegistrationLivesNineHundredSeconds) {
  const double created = 1'700'000'000.0;
  for (const auto& [age, kept] : {std::pair{0.0, true},
                                  {899.0, true},
                                  {900.0, true},
                                  {-3600.0, true},
                                  {900.5, false},
                                  {901.0, false}}) {
    setNow(created);
    pending.save(pendingFor("alice", created));
    setNow(created + age);
    EXPECT_EQ(pending.load("alice").has_value(), kept) << age;
    EXPECT_EQ(!raw(kPendingService, "alice").empty(), kept) << "an expired record is deleted";
  }
}

TEST_F(V5StoreTest, PendingRegistrationRecordAndReplacement) {
  setNow(1000.25);
  pending.save(pendingFor("alice", 1000.25));
  EXPECT_EQ(
      raw(kPendingService, "alice"),
      R"({"userId":"alice","deviceToken":"token-alice","fingerprintHash":"fp-alice",)"
      R"("environment":{"userAgent":"UA\/1","osType":"Linux","sdkVersion":"ios_v5_1"},"createdAt":1000.25})");
  pending.save(pendingFor("bob", 1000));
  pending.save(pendingFor("alice", 1000));
  EXPECT_EQ(pending.load("alice"), pendingFor("alice", 1000)) << "replaced";
  pending.remove("alice");
  EXPECT_EQ(pending.load("bob"), pendingFor("bob", 1000)) << "other users are untouched";

  for (
      const char* broken :
      {R"({"userId":"a","deviceToken":"t","fingerprintHash":"f","environment":{},"createdAt":1})",
       R"({"userId":"a","deviceToken":"t","fingerprintHash":"f","environment":{"userAgent":"u","osType":"o","sdkVersion":"s"}})"}) {
    ASSERT_TRUE(KeychainManager::save(bytesOf(broken), kPendingService, "carol"));
    EXPECT_FALSE(pending.load("carol")) << broken;
    EXPECT_EQ(raw(kPendingService, "carol"), "") << "an unreadable record is deleted";
  }
}

}  // namespace
}  // namespace velqo::testing
