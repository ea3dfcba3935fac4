// The device credential store: stored layout, record keys, decoding, fallback and recovery.

#include <gtest/gtest.h>

#include <map>

#include "v1/flows/crypto/device_crypto_record_factory.hpp"
#include "v1/flows/device_crypto_test_support.hpp"
#include "v1/protocol/test_data.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo::testing {
namespace {

using platform::HardwareKeyMode;
using Case = VelqoV1JSONCodingError::Case;

OrderedJson sampleRecord(const std::string& user = "alice") {
  OrderedJson record = OrderedJson::parse(R"({"recordVersion":1,"createdAt":1.5,"userIdentifier":"",
      "projectId":"p1","algorithm":"ECDH P-256+Ed25519","keyset":"a2V5","hindex":"aGk=","salt1":"AAAA",
      "salt2":"AQEB","combinedsalt":"AgIC","combinedprs":"AwMD","iv0":"BAQE",
      "wrapMetadata":{"type":"fallback","value":"BQUF"}})");
  record["userIdentifier"] = user;
  return record;
}

VelqoV1DeviceCryptoRecord decoded(const OrderedJson& record) {
  return decodeV1JSON<VelqoV1DeviceCryptoRecord>(record.dump());
}

class DeviceCryptoStoreTest : public DeviceCryptoTest {
 protected:
  std::shared_ptr<VelqoV1DeviceCryptoStore> store = VelqoV1DeviceCryptoStore::create(kService);
};

TEST_F(DeviceCryptoStoreTest, StoredRecordHasDefaultEncoderLayout) {
  platform::keys::setHardwareKeyMode(HardwareKeyMode::notAvailable);
  VelqoV1DeviceCryptoService::create("p1", store)->handleSetupDevice("", "", "1", " Alice ");
  const std::string raw = rawItem().value_or("");
  EXPECT_TRUE(raw.starts_with(R"({"recordVersion":1,"createdAt":)")) << raw;
  EXPECT_NE(
      raw.find(R"(,"userIdentifier":"alice","projectId":"p1","algorithm":"ECDH P-256+Ed25519","keyset":")"),
      std::string::npos);
  // Compact, with "/" escaped as a default encoder writes it.
  OrderedJson record = OrderedJson::parse(raw);
  std::string expected;
  for (char c : record.dump()) expected += c == '/' ? std::string("\\/") : std::string(1, c);
  EXPECT_EQ(raw, expected);

  std::vector<std::string> keys;
  for (auto it = record.begin(); it != record.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"recordVersion", "createdAt", "userIdentifier", "projectId",
                                            "algorithm", "keyset", "hindex", "salt1", "salt2", "combinedsalt",
                                            "combinedprs", "iv0", "wrapMetadata"}));
  const std::size_t infoSize = std::string("com.velqo.tests").size() +
                               platform::currentDevice().systemName.size() +
                               std::string("ECDH P-256+Ed25519v1").size();
  const Bytes combinedsalt = unbase64(record["combinedsalt"]);
  EXPECT_EQ(unbase64(record["iv0"]).size(), 12u);
  EXPECT_EQ(unbase64(record["combinedprs"]).size(), 48u);
  EXPECT_EQ(combinedsalt.size(), 12 + 32 + infoSize + 16);
  EXPECT_EQ(unbase64(record["keyset"]).size(), 12 + 32 + combinedsalt.size() + 16);
  EXPECT_EQ(record["wrapMetadata"].begin().key(), "type");
  EXPECT_EQ(record["wrapMetadata"]["type"], "fallback");
  EXPECT_EQ(unbase64(record["wrapMetadata"]["value"]).size(), 32u);
}

TEST_F(DeviceCryptoStoreTest, CreatedAtIsAPlainNumberAndCombinedSaltIsOptional) {
  for (auto [value, text] : std::vector<std::pair<double, std::string>>{
           {1700000000.25, "1700000000.25"}, {1700000000.0, "1700000000"}, {0.1, "0.1"}, {-2.5, "-2.5"}}) {
    OrderedJson record = sampleRecord();
    record["createdAt"] = value;
    const std::string encoded = encodeV1JSON(decoded(record));
    EXPECT_NE(encoded.find(R"("createdAt":)" + text + ","), std::string::npos) << encoded;
    EXPECT_EQ(decodeV1JSON<VelqoV1DeviceCryptoRecord>(encoded).createdAt(), value);
  }

  OrderedJson absent = sampleRecord(), null = sampleRecord();
  absent.erase("combinedsalt");
  null["combinedsalt"] = nullptr;
  EXPECT_FALSE(decoded(absent).combinedsalt().has_value());
  EXPECT_EQ(decoded(absent), decoded(null));
  EXPECT_EQ(encodeV1JSON(decoded(null)).find("combinedsalt"), std::string::npos);
  EXPECT_NE(decoded(absent), decoded(sampleRecord()));
}

TEST_F(DeviceCryptoStoreTest, RecordKeyIsNormalisedIdentifierPlusProject) {
  auto record = decoded(sampleRecord(" Alice.Smith "));
  store->save(record);
  EXPECT_TRUE(rawItem("alice.smith+p1").has_value());
  EXPECT_EQ(store->load("alice.smith", "p1"), record);
  EXPECT_EQ(store->load("ALICE.SMITH ", "p1"), record);
  EXPECT_EQ(store->load("alice.smith", "P1"), std::nullopt);
  // Non-ASCII: Unicode lower-casing and a trailing no-break space.
  auto elodie = decoded(sampleRecord("\xC3\x89lodie"));
  store->save(elodie);
  EXPECT_TRUE(rawItem("\xC3\xA9lodie+p1").has_value());
  EXPECT_EQ(store->load("\xC3\xA9LODIE\xC2\xA0", "p1"), elodie);
  EXPECT_EQ(detail::recordRef("abc"), "ba7816bf8f01");
  EXPECT_TRUE(loggedPrefix(
      "[V1DeviceCrypto] device_record_saved recordStore=keychain keyStore=software_fallback recordRef=" +
      detail::recordRef("alice.smith+p1")));
  EXPECT_TRUE(loggedPrefix("[V1DeviceCrypto] device_record_not_found recordStore=keychain recordRef=" +
                           detail::recordRef("alice.smith+P1")));
}

TEST_F(DeviceCryptoStoreTest, DecodingFailuresNameTheirCause) {
  const std::map<std::string, Case> cases = {{"dataCorrupted", Case::dataCorrupted},
                                             {"typeMismatch", Case::typeMismatch},
                                             {"keyNotFound", Case::keyNotFound},
                                             {"valueNotFound", Case::valueNotFound}};
  for (const auto& row : testData("record_decoding_failures.json")) {
    SCOPED_TRACE(row["name"].get<std::string>());
    const OrderedJson record = sampleRecord().patch(OrderedJson::parse(row["patch"].dump()));
    const auto e = thrown<VelqoV1JSONCodingError>([&] { (void)decoded(record); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->errorCase(), cases.at(row["case"].get<std::string>()));
    if (row.contains("debug")) {
      EXPECT_EQ(e->debugDescription(), row["debug"].get<std::string>());
    }
  }
}

TEST_F(DeviceCryptoStoreTest, ARecordReplacedBehindTheStoreIsReadAnew) {
  OrderedJson record = sampleRecord("bob");
  record["wrapMetadata"] = {{"type", "secureEnclave"}, {"value", "BQUF"}};
  for (const char* hindex : {"aGk=", "aGo="}) {
    record["hindex"] = hindex;
    writeRaw(record.dump(), "bob+p1");
    for (int load = 0; load < 2; ++load) EXPECT_EQ(store->load("bob", "p1")->hindex(), hindex);
  }
  writeRaw("not json", "bob+p1");
  EXPECT_EQ(thrownCase<VelqoV1DeviceCryptoStoreError>([&] { (void)store->load("bob", "p1"); }),
            VelqoV1DeviceCryptoStoreError::Case::decodingFailed);
}

TEST_F(DeviceCryptoStoreTest, UnreadableRecordsAreDeletedOnlyByCredentialLookup) {
  // A hardware key and an undecodable item under the same record key.
  ASSERT_NO_THROW(store->createSharedSecret("bob", "p1"));
  ASSERT_TRUE(hasHardwareKey("bob+p1"));
  writeRaw("not json", "bob+p1");
  EXPECT_EQ(thrownCase<VelqoV1DeviceCryptoStoreError>([&] { (void)store->load("bob", "p1"); }),
            VelqoV1DeviceCryptoStoreError::Case::decodingFailed);
  EXPECT_TRUE(rawItem("bob+p1").has_value());

  EXPECT_EQ(store->deviceCredentials("bob", "p1"), std::nullopt);
  EXPECT_FALSE(rawItem("bob+p1").has_value());
  EXPECT_FALSE(hasHardwareKey("bob+p1"));

  // Without a record nothing is touched (the other user's item and key stay).
  writeRaw("not json", "carol+p1");
  ASSERT_NO_THROW(store->createSharedSecret("dave", "p1"));
  const auto before = items->itemCount();
  EXPECT_EQ(store->deviceCredentials("dave", "p1"), std::nullopt);
  EXPECT_EQ(items->itemCount(), before);
  EXPECT_NO_THROW(store->deleteRecord("nobody", "p1"));
  EXPECT_TRUE(
      loggedPrefix("[V1DeviceCrypto] device_record_deleted recordStore=keychain keyStore=unknown recordRef=" +
                   detail::recordRef("nobody+p1")));
}

TEST_F(DeviceCryptoStoreTest, FallbackOnlyForUnavailableOrUnimplementedHardware) {
  using Op = FaultyItemStore::Operation;
  const std::string osMessage = "domain=VelqoOSStatusErrorDomain code=";
  const std::string storeMessage = "domain=VelqoV1DeviceCryptoStoreError code=3 message=";
  struct Row {
    HardwareKeyMode mode;
    std::optional<platform::OSStatus> failKeyAdd;
    bool fallback;
    std::string reasonPrefix;
  };
  const std::vector<Row> rows = {
      {HardwareKeyMode::notAvailable, std::nullopt, true, storeMessage},
      {HardwareKeyMode::unimplemented, std::nullopt, true, storeMessage},
      {HardwareKeyMode::available, -25291, true,
       osMessage +
           "-25291 message=No trust results are available. secMessage=No trust results are available."},
      {HardwareKeyMode::available, -4, true, osMessage + "-4 message="},
      {HardwareKeyMode::available, -50, false, osMessage + "-50 message="},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reasonPrefix);
    platform::keys::setHardwareKeyMode(row.mode);
    if (row.failKeyAdd) items->failNext(Op::add, *row.failKeyAdd);
    const std::string user = "user" + std::to_string(n++);
    if (row.fallback) {
      VelqoV1SharedSecret shared = store->createSharedSecret(user, "p1");
      EXPECT_EQ(shared.secret.size(), 32u);
      EXPECT_EQ(shared.metadata, VelqoV1WrapMetadata::fallback(shared.secret));
      EXPECT_EQ(shared.peerPublicKey, shared.secret);
      EXPECT_TRUE(loggedPrefix("[V1DeviceCrypto] Secure Enclave unavailable. Using fallback secret. reason=" +
                               row.reasonPrefix));
    } else {
      const auto e = thrown<platform::PlatformError>([&] { (void)store->createSharedSecret(user, "p1"); });
      ASSERT_TRUE(e);
      EXPECT_EQ(e->domain(), platform::domain::osStatus);
      EXPECT_EQ(e->code(), *row.failKeyAdd);
      EXPECT_TRUE(loggedPrefix("[V1DeviceCrypto] Secure Enclave operation failed without fallback: " +
                               row.reasonPrefix));
    }
  }
}

TEST_F(DeviceCryptoStoreTest, SharedSecretRecoveryRules) {
  auto software =
      VelqoV1DeviceCryptoStore::create(kService, VelqoV1DeviceCryptoStore::SecureEnclaveUse::never);
  const Bytes secret(32, 7);
  EXPECT_EQ(software->sharedSecret("a", "p1", VelqoV1WrapMetadata::fallback(secret)), secret);
  EXPECT_EQ(software->createSharedSecret("a", "p1").metadata.kind(), VelqoV1WrapMetadata::Kind::fallback);
  EXPECT_FALSE(hasHardwareKey("a+p1"));

  VelqoV1SharedSecret shared = store->createSharedSecret("a", "p1");
  ASSERT_EQ(shared.metadata.kind(), VelqoV1WrapMetadata::Kind::secureEnclave);
  EXPECT_EQ(shared.peerPublicKey.size(), 65u);
  EXPECT_EQ(shared.peerPublicKey[0], 0x04);
  EXPECT_EQ(store->sharedSecret(" A", "p1", shared.metadata), shared.secret);
  // A second secret reuses the hardware key with a new ephemeral key.
  VelqoV1SharedSecret again = store->createSharedSecret("a", "p1");
  EXPECT_NE(again.peerPublicKey, shared.peerPublicKey);
  EXPECT_EQ(store->sharedSecret("a", "p1", shared.metadata), shared.secret);

  EXPECT_EQ(thrownCase<VelqoV1DeviceCryptoStoreError>(
                [&] { (void)software->sharedSecret("a", "p1", shared.metadata); }),
            VelqoV1DeviceCryptoStoreError::Case::secureEnclaveUnavailable);
  Bytes badPoint = shared.peerPublicKey;
  badPoint[0] = 0x02;
  const auto refused = thrown<platform::PlatformError>(
      [&] { (void)store->sharedSecret("a", "p1", VelqoV1WrapMetadata::secureEnclave(badPoint)); });
  EXPECT_EQ(refused ? refused->code() : 0, platform::status::badParameter);
  EXPECT_EQ(VelqoV1DeviceCryptoStore().serviceName(), "com.velqo.tests") << "defaults to the bundle";
  EXPECT_EQ(VelqoV1DeviceCryptoStore(std::string()).serviceName(), "");
}

}  // namespace
}  // namespace velqo::testing
