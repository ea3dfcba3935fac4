#include "velqo/platform/secure_keys.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/encoding.hpp"
#include "support/scoped_platform_settings.hpp"
#include "support/test_environment.hpp"

namespace velqo::platform {
namespace {

Bytes hex(std::string_view text) {
  return hexDecode(text).value();
}

// Fixed P-256 key pairs A and B; expected values computed independently (ECDH, then the X9.63
// KDF with SHA-256).
std::string p256Vector(const char* name) {
  static const auto data =
      testing::readJsonFile(std::filesystem::path(__FILE__).parent_path() / "data/crypto_vectors.json");
  return data["p256KeyExchange"].value(name, "");
}
const std::string kScalarA = p256Vector("ScalarA"), kPointA = p256Vector("PointA"),
                  kScalarB = p256Vector("ScalarB"), kPointB = p256Vector("PointB"),
                  kX963Of48 = p256Vector("X963Of48");

class SecureKeysTest : public ::testing::Test {
 protected:
  void SetUp() override { settings.setItemStore(store); }

  static KeyAttributes permanent(const std::string& tag, KeyToken token = KeyToken::secureEnclave) {
    return {KeyType::ecPrimeRandom, 256, token, true, bytesOf(tag)};
  }
  static OSStatus find(const std::string& tag, KeyToken token, SecKeyRef& out) {
    return keys::copyMatchingKey(bytesOf(tag), KeyType::ecPrimeRandom, token, out);
  }
  // Stores a key in the key store's data form (scalar followed by the uncompressed point) and loads it.
  SecKeyRef load(std::string_view scalar, std::string_view point, OSStatus expected = status::success) {
    const std::string text = std::string(scalar) + std::string(point);
    EXPECT_EQ(store->addKey({bytesOf(text), KeyType::ecPrimeRandom, 256, KeyToken::software, true,
                             Accessibility::whenUnlockedThisDeviceOnly, hex(text)}),
              status::success);
    SecKeyRef key;
    EXPECT_EQ(find(text, KeyToken::software, key), expected);
    return key;
  }
  static Bytes pointOf(const SecKeyRef& key) {
    return keys::copyExternalRepresentation(keys::copyPublicKey(key)).value();
  }

  testing::ScopedPlatformSettings settings;
  std::shared_ptr<InMemoryItemStore> store = InMemoryItemStore::create();
};

TEST_F(SecureKeysTest, PermanentKeysRoundTripByTagAndToken) {
  SecKeyRef found;
  EXPECT_EQ(find("t1", KeyToken::secureEnclave, found), status::itemNotFound);
  auto created = keys::createRandomKey(permanent("t1"));
  ASSERT_TRUE(created.ok());
  ASSERT_EQ(find("t1", KeyToken::secureEnclave, found), status::success);
  ASSERT_TRUE(found && found->isPrivate());
  EXPECT_EQ(pointOf(found), pointOf(created.value()));
  EXPECT_EQ(find("t1", KeyToken::software, found), status::itemNotFound);
  EXPECT_EQ(keys::createRandomKey(permanent("t1")).error().code(), status::duplicateItem);
  EXPECT_EQ(keys::deleteKey(bytesOf("t1"), KeyType::ecPrimeRandom, KeyToken::secureEnclave), status::success);
  EXPECT_EQ(find("t1", KeyToken::secureEnclave, found), status::itemNotFound);

  // Temporary keys are not stored; bad attributes are refused.
  ASSERT_TRUE(keys::createRandomKey({}).ok());
  EXPECT_EQ(store->itemCount(), 0u);
  KeyAttributes wrongSize;
  wrongSize.sizeInBits = 384;
  EXPECT_EQ(keys::createRandomKey(wrongSize).error().code(), status::badParameter);
  EXPECT_EQ(keys::createRandomKey(permanent("")).error().code(), status::badParameter);

  // A stored key whose point does not belong to its scalar is a bad item.
  EXPECT_EQ(load(kScalarA, kPointB, status::badParameter), nullptr);
}

// Loaded keys are kept once checked; whatever replaces the stored data under the tag behind the
// key store's back is what the next lookup gets, and a bad pair is still refused.
TEST_F(SecureKeysTest, AKeyReplacedUnderItsTagIsLoadedAnew) {
  const Bytes tag = bytesOf("replaced");
  auto replaceWith = [&](std::string_view scalar, std::string_view point) {
    (void)store->deleteKey(tag, KeyType::ecPrimeRandom, KeyToken::secureEnclave);
    ASSERT_EQ(store->addKey({tag, KeyType::ecPrimeRandom, 256, KeyToken::secureEnclave, true,
                             Accessibility::whenUnlockedThisDeviceOnly,
                             hex(std::string(scalar) + std::string(point))}),
              status::success);
  };
  SecKeyRef key;
  const Bytes created = pointOf(keys::createRandomKey(permanent("replaced")).value());
  ASSERT_EQ(find("replaced", KeyToken::secureEnclave, key), status::success);
  EXPECT_EQ(pointOf(key), created);

  replaceWith(kScalarA, kPointA);
  ASSERT_EQ(find("replaced", KeyToken::secureEnclave, key), status::success);
  EXPECT_EQ(pointOf(key), hex(kPointA));
  replaceWith(kScalarA, kPointB);
  EXPECT_EQ(find("replaced", KeyToken::secureEnclave, key), status::badParameter);
  replaceWith(kScalarB, kPointB);
  ASSERT_EQ(find("replaced", KeyToken::secureEnclave, key), status::success);
  EXPECT_EQ(pointOf(key), hex(kPointB));
  // The same data on the other token is another key item, looked up on its own.
  EXPECT_EQ(find("replaced", KeyToken::software, key), status::itemNotFound);
}

TEST_F(SecureKeysTest, SwitchedOffHardwareFailsOnlyOnTheHardwareToken) {
  ASSERT_TRUE(keys::createRandomKey(permanent("hw")).ok());
  SecKeyRef key;
  for (auto [mode, code] : {std::pair{HardwareKeyMode::notAvailable, status::notAvailable},
                            std::pair{HardwareKeyMode::unimplemented, status::unimplemented}}) {
    keys::setHardwareKeyMode(mode);
    key = nullptr;
    const auto created = keys::createRandomKey(permanent("hw2"));
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(created.error().domain(), domain::osStatus);
    EXPECT_EQ(created.error().code(), code);
    EXPECT_EQ(created.error().localizedDescription(), statusMessage(code));
    EXPECT_EQ(find("hw", KeyToken::secureEnclave, key), code);
    EXPECT_EQ(key, nullptr);
    const std::string soft = "sw" + std::to_string(code);
    ASSERT_TRUE(keys::createRandomKey(permanent(soft, KeyToken::software)).ok());
    EXPECT_EQ(find(soft, KeyToken::software, key), status::success);
  }
  keys::setHardwareKeyMode(HardwareKeyMode::available);
  EXPECT_EQ(find("hw", KeyToken::secureEnclave, key), status::success);
}

TEST_F(SecureKeysTest, PublicPointsExportAndOnlyValidUncompressedPointsImport) {
  const auto privateKey = load(kScalarA, kPointA);
  ASSERT_TRUE(privateKey);
  EXPECT_EQ(keys::copyExternalRepresentation(privateKey).error().code(), status::badParameter);
  EXPECT_EQ(keys::copyExternalRepresentation(nullptr).error().code(), status::badParameter);
  const auto pub = keys::copyPublicKey(privateKey);
  ASSERT_TRUE(pub);
  EXPECT_FALSE(pub->isPrivate());
  EXPECT_EQ(keys::copyPublicKey(pub), pub);
  EXPECT_EQ(keys::copyExternalRepresentation(pub).value(), hex(kPointA));
  const auto imported = keys::createPublicKeyWithData(hex(kPointA));
  ASSERT_TRUE(imported.ok());
  EXPECT_FALSE(imported.value()->isPrivate());
  EXPECT_EQ(keys::copyExternalRepresentation(imported.value()).value(), hex(kPointA));

  // 64 and 66 bytes, compressed, hybrid, off the curve, infinity, empty, (0, 0).
  const Bytes valid = hex(kPointA);
  std::vector<Bytes> refused(5, valid);
  refused[0].erase(refused[0].begin());
  refused[1].push_back(0);
  refused[2].resize(33);
  refused[2][0] = static_cast<std::uint8_t>(0x02 | (valid.back() & 1));
  refused[3][0] = static_cast<std::uint8_t>(0x06 | (valid.back() & 1));
  refused[4].back() ^= 1;
  Bytes zeroPoint(65, 0);
  zeroPoint[0] = 0x04;
  refused.insert(refused.end(), {Bytes{0x00}, Bytes{}, zeroPoint});
  for (const auto& data : refused) {
    const auto r = keys::createPublicKeyWithData(data);
    ASSERT_FALSE(r.ok()) << hexEncode(data);
    EXPECT_EQ(r.error().domain(), domain::osStatus);
    EXPECT_EQ(r.error().code(), status::badParameter);
  }
}

TEST_F(SecureKeysTest, KeyExchangeMatchesTheIndependentX963ValueAndRefusesBadArguments) {
  const auto a = load(kScalarA, kPointA), b = load(kScalarB, kPointB);
  ASSERT_TRUE(a && b);
  const auto pubA = keys::createPublicKeyWithData(hex(kPointA)).value();
  const auto pubB = keys::createPublicKeyWithData(hex(kPointB)).value();
  const Bytes expected32 = hex(kX963Of48.substr(0, 64));  // the KDF's first block
  for (auto algorithm :
       {KeyExchangeAlgorithm::ecdhStandardX963SHA256, KeyExchangeAlgorithm::ecdhCofactorX963SHA256}) {
    EXPECT_TRUE(keys::isAlgorithmSupported(a, algorithm));
    EXPECT_FALSE(keys::isAlgorithmSupported(nullptr, algorithm));
    for (std::optional<std::size_t> size : {std::optional<std::size_t>(32), std::optional<std::size_t>()}) {
      EXPECT_EQ(keys::copyKeyExchangeResult(a, algorithm, pubB, size).value(), expected32);
      EXPECT_EQ(keys::copyKeyExchangeResult(b, algorithm, pubA, size).value(), expected32);
    }
    EXPECT_EQ(keys::copyKeyExchangeResult(a, algorithm, pubB, 48).value(), hex(kX963Of48));
  }

  const auto alg = KeyExchangeAlgorithm::ecdhStandardX963SHA256;
  const Result<Bytes, PlatformError> refused[] = {
      keys::copyKeyExchangeResult(pubB, alg, pubA, std::nullopt),  // public key as own key
      keys::copyKeyExchangeResult(nullptr, alg, pubB, std::nullopt),
      keys::copyKeyExchangeResult(a, alg, nullptr, std::nullopt),
      keys::copyKeyExchangeResult(a, alg, pubB, 0),
      keys::copyKeyExchangeResult(a, alg, pubB, std::size_t{1} << 40),  // no unbounded allocation
  };
  for (const auto& r : refused) EXPECT_EQ(r.ok() ? 0 : r.error().code(), status::badParameter);
}

}  // namespace
}  // namespace velqo::platform
