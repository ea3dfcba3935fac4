// The device credential store: stored JSON layout, record keys, decoding rules, the
// hardware-key fallback rule and credential recovery.

#include <gtest/gtest.h>

#include "v1/flows/crypto/device_crypto_record_factory.hpp"
#include "v1/flows/device_crypto_test_support.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo::testing {
namespace {

using platform::HardwareKeyMode;
using Case = VelqoV1JSONCodingError::Case;

const std::string kService = "svc.test";

OrderedJson sampleRecord(const std::string& user = "alice") {
  return OrderedJson{{"recordVersion", 1},
                     {"createdAt", 1.5},
                     {"userIdentifier", user},
                     {"projectId", "p1"},
                     {"algorithm", "ECDH P-256+Ed25519"},
                     {"keyset", "a2V5"},
                     {"hindex", "aGk="},
                     {"salt1", "AAAA"},
                     {"salt2", "AQEB"},
                     {"combinedsalt", "AgIC"},
                     {"combinedprs", "AwMD"},
                     {"iv0", "BAQE"},
                     {"wrapMetadata", {{"type", "fallback"}, {"value", "BQUF"}}}};
}

class DeviceCryptoStoreTest : public DeviceCryptoTest {
 protected:
  std::shared_ptr<VelqoV1DeviceCryptoStore> store = VelqoV1DeviceCryptoStore::create(kService);
};

TEST_F(DeviceCryptoStoreTest, StoredRecordHasDefaultEncoderLayout) {
  platform::keys::setHardwareKeyMode(HardwareKeyMode::notAvailable);
  auto service = VelqoV1DeviceCryptoService::create("p1", store);
  service->handleSetupDevice("", "", "1", " Alice ");
  const std::string raw = rawItem(kService, "alice+p1").value_or("");
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

TEST_F(DeviceCryptoStoreTest, CreatedAtIsAPlainNumber) {
  for (auto [value, text] : std::vector<std::pair<double, std::string>>{
           {1700000000.25, "1700000000.25"}, {1700000000.0, "1700000000"}, {0.1, "0.1"}, {-2.5, "-2.5"}}) {
    OrderedJson record = sampleRecord();
    record["createdAt"] = value;
    const std::string encoded = encodeV1JSON(decodeV1JSON<VelqoV1DeviceCryptoRecord>(record.dump()));
    EXPECT_NE(encoded.find(R"("createdAt":)" + text + ","), std::string::npos) << encoded;
    EXPECT_EQ(decodeV1JSON<VelqoV1DeviceCryptoRecord>(encoded).createdAt(), value);
  }
}

TEST_F(DeviceCryptoStoreTest, RecordKeyIsNormalisedIdentifierPlusProject) {
  auto record = decodeV1JSON<VelqoV1DeviceCryptoRecord>(sampleRecord(" Alice.Smith ").dump());
  store->save(record);
  EXPECT_TRUE(rawItem(kService, "alice.smith+p1").has_value());
  EXPECT_EQ(store->load("alice.smith", "p1"), record);
  EXPECT_EQ(store->load("ALICE.SMITH ", "p1"), record);
  EXPECT_EQ(store->load("alice.smith", "P1"), std::nullopt);
  EXPECT_EQ(detail::recordRef("abc"), "ba7816bf8f01");
  EXPECT_TRUE(loggedPrefix(
      "[V1DeviceCrypto] device_record_saved recordStore=keychain keyStore=software_fallback recordRef=" +
      detail::recordRef("alice.smith+p1")));
  EXPECT_TRUE(
      loggedPrefix("[V1DeviceCrypto] device_record_not_found recordStore=keychain recordRef=" +
                   crypto::sha256Hex(crypto::view(std::string_view("alice.smith+P1"))).substr(0, 12)));
}

TEST_F(DeviceCryptoStoreTest, CombinedSaltMayBeAbsentOrNull) {
  OrderedJson absent = sampleRecord();
  absent.erase("combinedsalt");
  OrderedJson null = sampleRecord();
  null["combinedsalt"] = nullptr;
  auto fromAbsent = decodeV1JSON<VelqoV1DeviceCryptoRecord>(absent.dump());
  auto fromNull = decodeV1JSON<VelqoV1DeviceCryptoRecord>(null.dump());
  EXPECT_FALSE(fromAbsent.combinedsalt().has_value());
  EXPECT_EQ(fromAbsent, fromNull);
  EXPECT_EQ(encodeV1JSON(fromNull).find("combinedsalt"), std::string::npos);
  EXPECT_NE(fromAbsent, decodeV1JSON<VelqoV1DeviceCryptoRecord>(sampleRecord().dump()));
}

TEST_F(DeviceCryptoStoreTest, DecodingFailuresNameTheirCause) {
  struct Row {
    const char* name;
    std::function<void(OrderedJson&)> mutate;
    Case expected;
    std::string debugDescription;  // checked when not empty
  };
  const std::vector<Row> rows = {
      {"metadata value not base64", [](OrderedJson& r) { r["wrapMetadata"]["value"] = "%%%"; },
       Case::dataCorrupted, "Invalid base64 metadata"},
      {"metadata value with blank", [](OrderedJson& r) { r["wrapMetadata"]["value"] = "BQ UF"; },
       Case::dataCorrupted, "Invalid base64 metadata"},
      {"unknown metadata type",
       [](OrderedJson& r) {
         r["wrapMetadata"] = {{"type", "other"}, {"value", ""}};
       },
       Case::dataCorrupted, ""},
      {"metadata value not text", [](OrderedJson& r) { r["wrapMetadata"]["value"] = 5; }, Case::typeMismatch,
       ""},
      {"byte field with newline", [](OrderedJson& r) { r["salt1"] = "AAAA\n"; }, Case::dataCorrupted, ""},
      {"missing hindex", [](OrderedJson& r) { r.erase("hindex"); }, Case::keyNotFound, ""},
      {"null keyset", [](OrderedJson& r) { r["keyset"] = nullptr; }, Case::valueNotFound, ""},
      {"version as text", [](OrderedJson& r) { r["recordVersion"] = "1"; }, Case::typeMismatch, ""},
  };
  for (const auto& row : rows) {
    OrderedJson record = sampleRecord();
    row.mutate(record);
    try {
      (void)decodeV1JSON<VelqoV1DeviceCryptoRecord>(record.dump());
      ADD_FAILURE() << row.name << " decoded";
    } catch (const VelqoV1JSONCodingError& e) {
      EXPECT_EQ(e.errorCase(), row.expected) << row.name;
      if (!row.debugDescription.empty()) {
        EXPECT_EQ(e.debugDescription(), row.debugDescription) << row.name;
      }
    }
  }
}

TEST_F(DeviceCryptoStoreTest, UnreadableRecordsAreDeletedOnlyByCredentialLookup) {
  // A hardware key and an undecodable item under the same record key.
  ASSERT_NO_THROW(store->createSharedSecret("bob", "p1"));
  ASSERT_TRUE(hasHardwareKey(kService, "bob+p1"));
  writeRaw(kService, "bob+p1", "not json");
  try {
    (void)store->load("bob", "p1");
    ADD_FAILURE() << "decoded";
  } catch (const VelqoV1DeviceCryptoStoreError& e) {
    EXPECT_EQ(e.errorCase(), VelqoV1DeviceCryptoStoreError::Case::decodingFailed);
  }
  EXPECT_TRUE(rawItem(kService, "bob+p1").has_value());

  EXPECT_EQ(store->deviceCredentials("bob", "p1"), std::nullopt);
  EXPECT_FALSE(rawItem(kService, "bob+p1").has_value());
  EXPECT_FALSE(hasHardwareKey(kService, "bob+p1"));

  // Without a record nothing is touched (the other user's item and key stay).
  writeRaw(kService, "carol+p1", "not json");
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
  using Op = platform::InMemoryItemStore::Operation;
  const std::string osMessage = "domain=VelqoOSStatusErrorDomain code=";
  struct Row {
    const char* name;
    HardwareKeyMode mode;
    std::optional<platform::OSStatus> failKeyAdd;
    bool fallback;
    std::string reasonPrefix;
  };
  const std::vector<Row> rows = {
      {"not available", HardwareKeyMode::notAvailable, std::nullopt, true,
       "domain=VelqoV1DeviceCryptoStoreError code=3 message="},
      {"unimplemented", HardwareKeyMode::unimplemented, std::nullopt, true,
       "domain=VelqoV1DeviceCryptoStoreError code=3 message="},
      {"add -25291", HardwareKeyMode::available, -25291, true,
       osMessage +
           "-25291 message=No trust results are available. secMessage=No trust results are available."},
      {"add -4", HardwareKeyMode::available, -4, true, osMessage + "-4 message="},
      {"add -50", HardwareKeyMode::available, -50, false, osMessage + "-50 message="},
  };
  int n = 0;
  for (const auto& row : rows) {
    platform::keys::setHardwareKeyMode(row.mode);
    if (row.failKeyAdd) items->failNext(Op::add, *row.failKeyAdd);
    const std::string user = "user" + std::to_string(n++);
    if (row.fallback) {
      VelqoV1SharedSecret shared = store->createSharedSecret(user, "p1");
      EXPECT_EQ(shared.secret.size(), 32u) << row.name;
      EXPECT_EQ(shared.metadata, VelqoV1WrapMetadata::fallback(shared.secret)) << row.name;
      EXPECT_EQ(shared.peerPublicKey, shared.secret) << row.name;
      EXPECT_TRUE(loggedPrefix("[V1DeviceCrypto] Secure Enclave unavailable. Using fallback secret. reason=" +
                               row.reasonPrefix))
          << row.name;
    } else {
      try {
        (void)store->createSharedSecret(user, "p1");
        ADD_FAILURE() << row.name;
      } catch (const platform::PlatformError& e) {
        EXPECT_EQ(e.domain(), platform::domain::osStatus) << row.name;
        EXPECT_EQ(e.code(), *row.failKeyAdd) << row.name;
      }
      EXPECT_TRUE(loggedPrefix("[V1DeviceCrypto] Secure Enclave operation failed without fallback: " +
                               row.reasonPrefix))
          << row.name;
    }
  }
}

TEST_F(DeviceCryptoStoreTest, SharedSecretRecoveryRules) {
  auto software = VelqoV1DeviceCryptoStore::create(kService, false);
  const Bytes secret(32, 7);
  EXPECT_EQ(software->sharedSecret("a", "p1", VelqoV1WrapMetadata::fallback(secret)), secret);
  EXPECT_EQ(software->createSharedSecret("a", "p1").metadata.kind(), VelqoV1WrapMetadata::Kind::fallback);
  EXPECT_FALSE(hasHardwareKey(kService, "a+p1"));

  VelqoV1SharedSecret shared = store->createSharedSecret("a", "p1");
  ASSERT_EQ(shared.metadata.kind(), VelqoV1WrapMetadata::Kind::secureEnclave);
  EXPECT_EQ(shared.peerPublicKey.size(), 65u);
  EXPECT_EQ(shared.peerPublicKey[0], 0x04);
  EXPECT_EQ(store->sharedSecret(" A", "p1", shared.metadata), shared.secret);
  // A second secret reuses the hardware key with a new ephemeral key.
  VelqoV1SharedSecret again = store->createSharedSecret("a", "p1");
  EXPECT_NE(again.peerPublicKey, shared.peerPublicKey);
  EXPECT_EQ(store->sharedSecret("a", "p1", shared.metadata), shared.secret);

  try {
    (void)software->sharedSecret("a", "p1", shared.metadata);
    ADD_FAILURE();
  } catch (const VelqoV1DeviceCryptoStoreError& e) {
    EXPECT_EQ(e.errorCase(), VelqoV1DeviceCryptoStoreError::Case::secureEnclaveUnavailable);
  }
  Bytes badPoint = shared.peerPublicKey;
  badPoint[0] = 0x02;
  try {
    (void)store->sharedSecret("a", "p1", VelqoV1WrapMetadata::secureEnclave(badPoint));
    ADD_FAILURE();
  } catch (const platform::PlatformError& e) {
    EXPECT_EQ(e.code(), platform::status::badParameter);
  }
}

TEST_F(DeviceCryptoStoreTest, ServiceNameDefaultsToBundleIdentifier) {
  EXPECT_EQ(VelqoV1DeviceCryptoStore().serviceName(), "com.velqo.tests");
  EXPECT_EQ(VelqoV1DeviceCryptoStore(std::string()).serviceName(), "");
}

}  // namespace
}  // namespace velqo::testing
