#include "velqo/platform/secure_keys.hpp"

#include <gtest/gtest.h>

#include "platform/encoding.hpp"

namespace velqo::platform {
namespace {

Bytes hex(std::string_view text) {
  return hexDecode(text).value();
}

// Fixed P-256 key pair A, B; expected values computed independently (ECDH, then the X9.63
// KDF with SHA-256: SHA-256(Z || 00000001) for 32 bytes).
constexpr std::string_view kScalarA = "c88f01f510d9ac3f70a292daa2316de544e9aab8afe84049c62a9c57862d1433";
constexpr std::string_view kPointA =
    "04dad0b65394221cf9b051e1feca5787d098dfe637fc90b9ef945d0c37725811805271a0461cdb8252d61f1c456fa3e59ab1f45b"
    "33"
    "accf5f58389e0577b8990bb3";
constexpr std::string_view kScalarB = "0f56db78ca460b055c500064824bed999a25aaf48ebb519ac201537b85479813";
constexpr std::string_view kPointB =
    "04e266ddfdc12668db30d4ca3e8f7749432c416044f2d2b8c10bf3d4012aeffa8abfa86404a2e9ffe67d47c587ef7a97a7f456b8"
    "63"
    "b4d02cfc6928973ab5b1cb39";
constexpr std::string_view kX963Of32 = "666b9579fd57eb5b37b824cd268ad38cd2a9359335d7b1c1b725ba2495afd78e";
constexpr std::string_view kX963Of48 =
    "666b9579fd57eb5b37b824cd268ad38cd2a9359335d7b1c1b725ba2495afd78e438d705f3604953092730328f6bfe47e";

class SecureKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store = InMemoryItemStore::create();
    setItemStore(store);
  }
  void TearDown() override {
    keys::setHardwareKeyMode(HardwareKeyMode::available);
    setItemStore(nullptr);
  }

  static KeyAttributes permanentAttributes(const std::string& tag, KeyToken token = KeyToken::secureEnclave) {
    KeyAttributes a;
    a.permanent = true;
    a.token = token;
    a.applicationTag = bytesOf(tag);
    return a;
  }

  // Loads a fixed private key by placing it in the store in the key store's data form
  // (scalar followed by the uncompressed point).
  SecKeyRef fixedPrivateKey(std::string_view scalar, std::string_view point) {
    KeyItem item;
    item.applicationTag = bytesOf(scalar);
    item.keyData = hex(scalar);
    Bytes p = hex(point);
    item.keyData.insert(item.keyData.end(), p.begin(), p.end());
    EXPECT_EQ(store->addKey(item), status::success);
    SecKeyRef key;
    EXPECT_EQ(keys::copyMatchingKey(item.applicationTag, KeyType::ecPrimeRandom, KeyToken::software, key),
              status::success);
    return key;
  }

  std::shared_ptr<InMemoryItemStore> store;
};

TEST_F(SecureKeysTest, PermanentKeysRoundTripByTag) {
  SecKeyRef missing;
  EXPECT_EQ(keys::copyMatchingKey(bytesOf("t1"), KeyType::ecPrimeRandom, KeyToken::secureEnclave, missing),
            status::itemNotFound);
  auto created = keys::createRandomKey(permanentAttributes("t1"));
  ASSERT_TRUE(created.ok());
  EXPECT_EQ(store->itemCount(), 1u);

  SecKeyRef found;
  ASSERT_EQ(keys::copyMatchingKey(bytesOf("t1"), KeyType::ecPrimeRandom, KeyToken::secureEnclave, found),
            status::success);
  ASSERT_TRUE(found && found->isPrivate());
  // Same key: same public point.
  EXPECT_EQ(keys::copyExternalRepresentation(keys::copyPublicKey(found)).value(),
            keys::copyExternalRepresentation(keys::copyPublicKey(created.value())).value());
  // The token is part of the lookup; a tag in use cannot be created again.
  EXPECT_EQ(keys::copyMatchingKey(bytesOf("t1"), KeyType::ecPrimeRandom, KeyToken::software, found),
            status::itemNotFound);
  auto again = keys::createRandomKey(permanentAttributes("t1"));
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().code(), status::duplicateItem);

  EXPECT_EQ(keys::deleteKey(bytesOf("t1"), KeyType::ecPrimeRandom, KeyToken::secureEnclave), status::success);
  EXPECT_EQ(keys::copyMatchingKey(bytesOf("t1"), KeyType::ecPrimeRandom, KeyToken::secureEnclave, found),
            status::itemNotFound);

  // Temporary keys are not stored; bad attributes are refused.
  ASSERT_TRUE(keys::createRandomKey({}).ok());
  EXPECT_EQ(store->itemCount(), 0u);
  KeyAttributes wrongSize;
  wrongSize.sizeInBits = 384;
  EXPECT_EQ(keys::createRandomKey(wrongSize).error().code(), status::badParameter);
  EXPECT_EQ(keys::createRandomKey(permanentAttributes("")).error().code(), status::badParameter);
}

TEST_F(SecureKeysTest, StoredKeysThatDoNotLoadAreReportedAsBadItems) {
  KeyItem item;
  item.applicationTag = bytesOf("broken");
  item.keyData = hex(kScalarA);
  Bytes pointB = hex(kPointB);  // a point that does not belong to the scalar
  item.keyData.insert(item.keyData.end(), pointB.begin(), pointB.end());
  ASSERT_EQ(store->addKey(item), status::success);
  SecKeyRef key;
  EXPECT_EQ(keys::copyMatchingKey(item.applicationTag, KeyType::ecPrimeRandom, KeyToken::software, key),
            status::badParameter);
  EXPECT_EQ(key, nullptr);
}

TEST_F(SecureKeysTest, SwitchedOffHardwareFailsOnlyOnTheHardwareToken) {
  ASSERT_TRUE(keys::createRandomKey(permanentAttributes("hw")).ok());
  for (auto [mode, code] :
       {std::pair{HardwareKeyMode::notAvailable, -25291L}, std::pair{HardwareKeyMode::unimplemented, -4L}}) {
    keys::setHardwareKeyMode(mode);
    EXPECT_EQ(keys::hardwareKeyMode(), mode);
    auto created = keys::createRandomKey(permanentAttributes("hw2"));
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(created.error().domain(), domain::osStatus);
    EXPECT_EQ(created.error().code(), code);
    EXPECT_EQ(created.error().localizedDescription(), statusMessage(static_cast<OSStatus>(code)));
    SecKeyRef key;
    EXPECT_EQ(keys::copyMatchingKey(bytesOf("hw"), KeyType::ecPrimeRandom, KeyToken::secureEnclave, key),
              code);
    EXPECT_EQ(key, nullptr);
    // Software keys, temporary or permanent, still work.
    EXPECT_TRUE(keys::createRandomKey({}).ok());
    auto soft = keys::createRandomKey(permanentAttributes("sw-" + std::to_string(code), KeyToken::software));
    ASSERT_TRUE(soft.ok());
    EXPECT_EQ(keys::copyMatchingKey(bytesOf("sw-" + std::to_string(code)), KeyType::ecPrimeRandom,
                                    KeyToken::software, key),
              status::success);
  }
  keys::setHardwareKeyMode(HardwareKeyMode::available);
  SecKeyRef key;
  EXPECT_EQ(keys::copyMatchingKey(bytesOf("hw"), KeyType::ecPrimeRandom, KeyToken::secureEnclave, key),
            status::success);
}

TEST_F(SecureKeysTest, PublicPointsExportAndImport) {
  auto key = keys::createRandomKey({}).value();
  auto exported = keys::copyExternalRepresentation(key);
  ASSERT_FALSE(exported.ok());  // private keys are not exported
  EXPECT_EQ(exported.error().code(), status::badParameter);
  EXPECT_EQ(keys::copyExternalRepresentation(nullptr).error().code(), status::badParameter);

  auto pub = keys::copyPublicKey(key);
  ASSERT_TRUE(pub);
  EXPECT_FALSE(pub->isPrivate());
  EXPECT_EQ(keys::copyPublicKey(pub), pub);
  EXPECT_EQ(keys::copyPublicKey(nullptr), nullptr);
  Bytes point = keys::copyExternalRepresentation(pub).value();
  ASSERT_EQ(point.size(), 65u);
  EXPECT_EQ(point[0], 0x04);
  auto imported = keys::createPublicKeyWithData(point);
  ASSERT_TRUE(imported.ok());
  EXPECT_FALSE(imported.value()->isPrivate());
  EXPECT_EQ(keys::copyExternalRepresentation(imported.value()).value(), point);

  // The fixed key's point is what an independent implementation computes from its scalar.
  auto fixed = fixedPrivateKey(kScalarA, kPointA);
  ASSERT_TRUE(fixed);
  EXPECT_EQ(keys::copyExternalRepresentation(keys::copyPublicKey(fixed)).value(), hex(kPointA));
}

TEST_F(SecureKeysTest, ImportRefusesEverythingButAValidUncompressedPoint) {
  Bytes valid = hex(kPointA);
  Bytes offCurve = valid;
  offCurve.back() ^= 1;
  Bytes compressed(valid.begin(), valid.begin() + 33);
  compressed[0] = static_cast<std::uint8_t>(0x02 | (valid.back() & 1));
  Bytes hybrid = valid;
  hybrid[0] = static_cast<std::uint8_t>(0x06 | (valid.back() & 1));
  Bytes withoutPrefix(valid.begin() + 1, valid.end());
  Bytes tooLong = valid;
  tooLong.push_back(0);
  Bytes zeroPoint(65, 0);
  zeroPoint[0] = 0x04;
  const std::pair<const char*, Bytes> cases[] = {
      {"64 bytes", withoutPrefix}, {"66 bytes", tooLong},   {"compressed", compressed},
      {"hybrid", hybrid},          {"off curve", offCurve}, {"infinity", Bytes{0x00}},
      {"empty", Bytes{}},          {"(0,0)", zeroPoint},
  };
  for (const auto& [name, data] : cases) {
    auto r = keys::createPublicKeyWithData(data);
    ASSERT_FALSE(r.ok()) << name;
    EXPECT_EQ(r.error().domain(), domain::osStatus) << name;
    EXPECT_EQ(r.error().code(), status::badParameter) << name;
  }
  EXPECT_TRUE(keys::createPublicKeyWithData(valid).ok());
}

TEST_F(SecureKeysTest, KeyExchangeMatchesTheIndependentX963Value) {
  auto a = fixedPrivateKey(kScalarA, kPointA);
  auto b = fixedPrivateKey(kScalarB, kPointB);
  ASSERT_TRUE(a && b);
  auto pubA = keys::createPublicKeyWithData(hex(kPointA)).value();
  auto pubB = keys::createPublicKeyWithData(hex(kPointB)).value();
  for (auto algorithm :
       {KeyExchangeAlgorithm::ecdhStandardX963SHA256, KeyExchangeAlgorithm::ecdhCofactorX963SHA256}) {
    EXPECT_TRUE(keys::isAlgorithmSupported(a, algorithm));
    EXPECT_TRUE(keys::isAlgorithmSupported(pubB, algorithm));
    EXPECT_FALSE(keys::isAlgorithmSupported(nullptr, algorithm));
    for (std::optional<std::size_t> size : {std::optional<std::size_t>(32), std::optional<std::size_t>()}) {
      auto ab = keys::copyKeyExchangeResult(a, algorithm, pubB, size);
      auto ba = keys::copyKeyExchangeResult(b, algorithm, pubA, size);
      ASSERT_TRUE(ab.ok() && ba.ok());
      EXPECT_EQ(ab.value(), hex(kX963Of32));
      EXPECT_EQ(ba.value(), ab.value());
    }
    EXPECT_EQ(keys::copyKeyExchangeResult(a, algorithm, pubB, 48).value(), hex(kX963Of48));
  }
}

TEST_F(SecureKeysTest, KeyExchangeIsSymmetricForGeneratedKeysAndRefusesBadArguments) {
  auto a = keys::createRandomKey({}).value();
  auto b = keys::createRandomKey({}).value();
  auto alg = KeyExchangeAlgorithm::ecdhStandardX963SHA256;
  auto ab = keys::copyKeyExchangeResult(a, alg, keys::copyPublicKey(b), std::nullopt);
  auto ba = keys::copyKeyExchangeResult(b, alg, keys::copyPublicKey(a), std::nullopt);
  ASSERT_TRUE(ab.ok() && ba.ok());
  EXPECT_EQ(ab.value().size(), 32u);
  EXPECT_EQ(ab.value(), ba.value());
  auto c = keys::createRandomKey({}).value();
  EXPECT_NE(keys::copyKeyExchangeResult(a, alg, keys::copyPublicKey(c), std::nullopt).value(), ab.value());

  auto pubB = keys::copyPublicKey(b);
  const Result<Bytes, PlatformError> refused[] = {
      keys::copyKeyExchangeResult(pubB, alg, keys::copyPublicKey(a), std::nullopt),  // public key as own key
      keys::copyKeyExchangeResult(nullptr, alg, pubB, std::nullopt),
      keys::copyKeyExchangeResult(a, alg, nullptr, std::nullopt),
      keys::copyKeyExchangeResult(a, alg, pubB, 0),
      keys::copyKeyExchangeResult(a, alg, pubB, std::size_t{1} << 40),  // no unbounded allocation
  };
  for (const auto& r : refused) EXPECT_EQ(r.ok() ? 0 : r.error().code(), status::badParameter);
}

}  // namespace
}  // namespace velqo::platform
