// The V5 credential record (exact stored JSON, legacy and corruption rules), the hardware-key
// wrapper with its fallback, and pending registrations with their 900-second lifetime.

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "account/v5/v5_credential_store.hpp"
#include "account/v5/v5_pending_registration_store.hpp"
#include "platform/encoding.hpp"
#include "velqo/platform/clock.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/secure_keys.hpp"

namespace velqo::testing {
namespace {

using platform::HardwareKeyMode;
using StoreCase = V5CredentialStoreError::Case;

constexpr const char* kService = "com.test.velqo.v5";
constexpr const char* kPendingService = "com.test.velqo.v5.pending";

class V5StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::setItemStore(items); }
  void TearDown() override {
    platform::setItemStore(nullptr);
    platform::keys::setHardwareKeyMode(HardwareKeyMode::available);
    platform::setClockOverride({});
  }

  std::string raw(const std::string& service, const std::string& user) {
    Bytes data;
    if (items->copyGenericPassword(service, user, data) != platform::status::success) return {};
    return textOf(data);
  }
  void putRaw(const std::string& service, const std::string& user, const std::string& text) {
    (void)items->deleteGenericPassword(service, user);
    ASSERT_EQ(items->addGenericPassword(service, user, bytesOf(text),
                                        platform::Accessibility::whenUnlockedThisDeviceOnly),
              platform::status::success);
  }

  std::shared_ptr<platform::InMemoryItemStore> items = platform::InMemoryItemStore::create();
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
  V5StoredPayload p;
  p.salt0 = "AAAA";
  p.salt1 = "AQEB";
  p.salt2 = "AgIC";
  p.combinedPrs = "+/8=";
  p.aPeer = "BAQE";
  p.version = 1;
  p.algorithmUsed = "ECDH P-256+Ed25519";
  p.osType = "Linux";
  p.userAgent = "App 1.0 (M; Linux 6)";
  p.sdkVersion = "ios_v5_1.0_7";
  p.infoString = "aW5mbw==";
  p.wrapMetadata = V5WrapMetadata::fallback(Bytes{5, 5, 5});
  p.deviceToken = "dev-token";
  return p;
}

TEST_F(V5StoreTest, SavesTheExactRecordAndLoadsItsBytes) {
  store.save(samplePayload(), "Alice@Example");
  EXPECT_EQ(raw(kService, "Alice@Example"), kStoredRecord);
  EXPECT_EQ(raw(kService, "alice@example"), "") << "the user id is kept unchanged";

  store.save(samplePayload(), "Alice@Example");
  EXPECT_EQ(items->itemCount(), 1u);

  const auto material = store.load("Alice@Example");
  ASSERT_TRUE(material);
  EXPECT_EQ(material->salt0, (Bytes{0, 0, 0}));
  EXPECT_EQ(material->salt1, (Bytes{1, 1, 1}));
  EXPECT_EQ(material->salt2, (Bytes{2, 2, 2}));
  EXPECT_EQ(material->combinedPrs, (Bytes{0xfb, 0xff}));
  EXPECT_EQ(material->aPeer, (Bytes{4, 4, 4}));
  EXPECT_EQ(material->infoString, bytesOf("info"));
  EXPECT_EQ(material->environment, (V5EnvironmentInfo{"App 1.0 (M; Linux 6)", "Linux", "ios_v5_1.0_7"}));
  EXPECT_EQ(material->wrapMetadata, V5WrapMetadata::fallback(Bytes{5, 5, 5}));
  EXPECT_EQ(material->deviceToken, "dev-token");

  store.remove("Alice@Example");
  EXPECT_FALSE(store.load("Alice@Example"));
  store.remove("Alice@Example");  // a missing record is no error

  items->failNext(platform::InMemoryItemStore::Operation::add, platform::status::notAvailable);
  try {
    store.save(samplePayload(), "bob");
    ADD_FAILURE() << "a failed write must be reported";
  } catch (const V5CredentialStoreError& e) {
    EXPECT_EQ(e.errorCase(), StoreCase::encodingFailed);
  }
}

TEST_F(V5StoreTest, LegacyAndCorruptedRecords) {
  struct Row {
    const char* name;
    std::function<void(nlohmann::ordered_json&)> change;
    std::optional<StoreCase> expected;  // nothing: loads
  };
  const Row rows[] = {
      {"no combinedPrs", [](auto& j) { j.erase("combinedPrs"); }, StoreCase::legacyPayloadDetected},
      {"null combinedPrs, valid combinedXPrs",
       [](auto& j) {
         j["combinedPrs"] = nullptr;
         j["combinedXPrs"] = "BgY=";
       },
       std::nullopt},
      {"null combinedPrs, nothing else", [](auto& j) { j["combinedPrs"] = nullptr; },
       StoreCase::corruptedSecrets},
      {"no infoString", [](auto& j) { j.erase("infoString"); }, StoreCase::legacyPayloadDetected},
      {"no salt0", [](auto& j) { j.erase("salt0"); }, StoreCase::corruptedSecrets},
      {"salt1 not base64", [](auto& j) { j["salt1"] = "not base64!"; }, StoreCase::corruptedSecrets},
      {"aPeer not base64", [](auto& j) { j["aPeer"] = "AAA"; }, StoreCase::corruptedSecrets},
      {"no deviceToken", [](auto& j) { j.erase("deviceToken"); }, StoreCase::decodingFailed},
      {"salt2 a number", [](auto& j) { j["salt2"] = 5; }, StoreCase::decodingFailed},
      {"version 256", [](auto& j) { j["version"] = 256; }, StoreCase::decodingFailed},
      {"unknown wrap type", [](auto& j) { j["wrapMetadata"]["type"] = "cloud"; }, StoreCase::decodingFailed},
      {"wrap value not base64", [](auto& j) { j["wrapMetadata"]["value"] = "%%"; },
       StoreCase::decodingFailed},
      {"no wrapMetadata", [](auto& j) { j.erase("wrapMetadata"); }, StoreCase::decodingFailed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto record = nlohmann::ordered_json::parse(kStoredRecord);
    row.change(record);
    putRaw(kService, "u", record.dump());
    try {
      const auto material = store.load("u");
      ASSERT_TRUE(material);
      EXPECT_FALSE(row.expected) << "loaded";
      EXPECT_EQ(material->combinedPrs, (Bytes{6, 6}));
    } catch (const V5CredentialStoreError& e) {
      ASSERT_TRUE(row.expected) << e.what();
      EXPECT_EQ(e.errorCase(), *row.expected) << e.what();
      EXPECT_EQ(e.domain(), "V5CredentialStoreError");
    }
  }

  for (const char* text : {"{}", "[1]", "not json", "\"text\""}) {
    putRaw(kService, "u", text);
    try {
      (void)store.load("u");
      ADD_FAILURE() << text;
    } catch (const V5CredentialStoreError& e) {
      EXPECT_EQ(e.errorCase(),
                std::string(text) == "{}" ? StoreCase::legacyPayloadDetected : StoreCase::decodingFailed)
          << text;
    }
  }
  auto record = nlohmann::ordered_json::parse(kStoredRecord);
  record["wrapMetadata"]["value"] = "%";
  putRaw(kService, "u", record.dump());
  try {
    (void)store.load("u");
    ADD_FAILURE();
  } catch (const V5CredentialStoreError& e) {
    EXPECT_NE(std::string(e.what()).find("Invalid base64 metadata"), std::string::npos) << e.what();
  }
}

TEST_F(V5StoreTest, OlderRecordsFillAlgorithmAndEnvironment) {
  auto record = nlohmann::ordered_json::parse(kStoredRecord);
  record.erase("algorithmUsed");
  record.erase("userAgent");
  record.erase("sdkVersion");
  putRaw(kService, "u", record.dump());
  auto material = store.load("u");
  ASSERT_TRUE(material);
  EXPECT_EQ(material->algorithmUsed, "ECDH P-256+Ed25519");
  EXPECT_EQ(material->environment, (V5EnvironmentInfo{"Linux Device", "Linux", "ios_v5_legacy"}));

  record.erase("osType");
  putRaw(kService, "u", record.dump());
  material = store.load("u");
  ASSERT_TRUE(material);
  EXPECT_EQ(material->environment, V5EnvironmentInfo::current());
}

TEST_F(V5StoreTest, HardwareKeyWrapAndFallback) {
  const V5SecureEnclaveWrapper& wrapper = store.secureWrapper();
  auto wrapped = wrapper.wrapSharedSecret("alice");
  ASSERT_EQ(wrapped.metadata.kind(), V5WrapMetadata::Kind::secureEnclave);
  EXPECT_EQ(wrapped.sharedSecret.size(), 32u);
  ASSERT_EQ(wrapped.metadata.value().size(), 65u);
  EXPECT_EQ(wrapped.metadata.value()[0], 0x04);
  EXPECT_EQ(wrapper.unwrapSharedSecret(wrapped.metadata, "alice"), wrapped.sharedSecret);

  platform::SecKeyRef key;
  EXPECT_EQ(platform::keys::copyMatchingKey(bytesOf(std::string(kService) + ".v5.se.alice"),
                                            platform::KeyType::ecPrimeRandom,
                                            platform::KeyToken::secureEnclave, key),
            platform::status::success);
  // Another user's key gives another secret; a deleted key is made afresh and no longer matches.
  EXPECT_NE(wrapper.unwrapSharedSecret(wrapped.metadata, "bob"), wrapped.sharedSecret);
  wrapper.deleteKey("alice");
  EXPECT_NE(wrapper.unwrapSharedSecret(wrapped.metadata, "alice"), wrapped.sharedSecret);

  Bytes notAPoint = wrapped.metadata.value();
  notAPoint[0] = 0x05;
  EXPECT_THROW((void)wrapper.unwrapSharedSecret(V5WrapMetadata::secureEnclave(notAPoint), "alice"),
               platform::PlatformError);

  for (auto mode : {HardwareKeyMode::notAvailable, HardwareKeyMode::unimplemented}) {
    platform::keys::setHardwareKeyMode(mode);
    auto fallback = wrapper.wrapSharedSecret("carol");
    ASSERT_EQ(fallback.metadata.kind(), V5WrapMetadata::Kind::fallback);
    EXPECT_EQ(fallback.metadata.value(), fallback.sharedSecret);
    EXPECT_EQ(wrapper.unwrapSharedSecret(fallback.metadata, "carol"), fallback.sharedSecret);
  }
  platform::keys::setHardwareKeyMode(HardwareKeyMode::available);
  items->failNext(platform::InMemoryItemStore::Operation::copy, platform::status::ioError);
  EXPECT_EQ(wrapper.wrapSharedSecret("dave").metadata.kind(), V5WrapMetadata::Kind::fallback)
      << "any hardware-key failure falls back";
}

// ---- pending registrations ----

V5PendingRegistration pendingFor(const std::string& user, double createdAt) {
  return V5PendingRegistration{user, "token-" + user, "fp-" + user,
                               V5EnvironmentInfo{"UA/1", "Linux", "ios_v5_1"}, createdAt};
}

void setNow(double seconds) {
  platform::setClockOverride([seconds] {
    return platform::WallClock::time_point(
        std::chrono::duration_cast<platform::WallClock::duration>(std::chrono::duration<double>(seconds)));
  });
}

TEST_F(V5StoreTest, PendingRegistrationLivesNineHundredSeconds) {
  const double created = 1'700'000'000.0;
  struct Row {
    double age;
    bool kept;
  };
  for (const Row row :
       {Row{0, true}, Row{899, true}, Row{900, true}, Row{-3600, true}, Row{900.5, false}, Row{901, false}}) {
    SCOPED_TRACE(row.age);
    setNow(created);
    pending.save(pendingFor("alice", created));
    setNow(created + row.age);
    EXPECT_EQ(pending.load("alice").has_value(), row.kept);
    EXPECT_EQ(!raw(kPendingService, "alice").empty(), row.kept) << "an expired record is deleted";
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
  auto replaced = pendingFor("alice", 1000);
  replaced.deviceToken = "second";
  pending.save(replaced);
  EXPECT_EQ(pending.load("alice"), replaced);
  EXPECT_EQ(pending.load("bob"), pendingFor("bob", 1000));

  store.save(samplePayload(), "alice");
  pending.remove("alice");
  EXPECT_FALSE(pending.load("alice"));
  EXPECT_TRUE(store.load("alice")) << "the credential record is another item";
  EXPECT_TRUE(pending.load("bob"));

  for (const char* broken :
       {R"({"userId":"a","deviceToken":"t","fingerprintHash":"f",)"
        R"("environment":{"userAgent":"u","osType":"o","sdkVersion":"s"}})",
        R"({"userId":"a","deviceToken":"t","fingerprintHash":"f","environment":{},"createdAt":1})",
        "garbage"}) {
    putRaw(kPendingService, "carol", broken);
    EXPECT_FALSE(pending.load("carol")) << broken;
    EXPECT_EQ(raw(kPendingService, "carol"), "") << "an unreadable record is deleted";
  }
}

}  // namespace
}  // namespace velqo::testing
