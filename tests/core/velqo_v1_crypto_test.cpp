// Expected values come from tests/core/data/make_core_vectors.py (an independent implementation
// over the Python `cryptography` package).

#include "velqo/core/velqo_v1_crypto.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>

#include "platform/encoding.hpp"

namespace velqo {
namespace {

using Case = VelqoV1CryptoError::Case;
using V = VelqoV1Crypto;

constexpr const char* kSecret = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
constexpr const char* kSalt0 = "01080f161d242b323940474e555c636a71787f868d949ba2a9b0b7bec5ccd3da";
constexpr const char* kSalt1 = "030e19242f3a45505b66717c87929da8b3bec9d4dfeaf5000b16212c37424d58";
constexpr const char* kSalt2 = "05121f2c394653606d7a8794a1aebbc8d5e2effc091623303d4a5764717e8b98";
constexpr const char* kPrivateKey = "6465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f80818283";
constexpr const char* kIv0 = "000102030405060708090a0b";
constexpr const char* kIv1 = "0c0d0e0f1011121314151617";
constexpr const char* kIv2 = "18191a1b1c1d1e1f20212223";
constexpr const char* kAPeer =
    "04000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f303132"
    "333435363738393a3b3c3d3e3f";
constexpr const char* kSk0 = "ab7c564e9e91b9011d274e7218084704aa8910422c65137b3c556b8e74045477";
constexpr const char* kSk1 = "572d6c029446f9a38aba32ed6112e020c7761be259bb410f258d20bb0045eee2";
constexpr const char* kSk2 = "19a3801172fc7dc735f0a8cbddbf90f8c4448b6e354f6210fdad99cb6ec72ec7";
constexpr const char* kHds = "e16fa3a4c027c2c08b3553a34fdb6977a49bc53108246add6088ea3f56010325";
constexpr const char* kCombinedPrs =
    "885e34a377ad1c4a7aaa107af18a5e2d1b53f7333a6aeb07890866d00b002acec4421e3eef1f897bdceddedafe64d140";
constexpr const char* kInfo =
    "636f6d2e76656c716f2e74657374734c696e75784543444820502d3235362b456432353531397631";
constexpr const char* kCombinedSalt =
    "0c0d0e0f1011121314151617c801886b3e90a5c8b3a42bdfe56421693cd0f7ff3058fd649a4e9a67fddf7b2f880135381a4d5f75"
    "739f2df71689e098fcee738ab4837f5b0e578d020fcb79cb9814b3b24c39c683777886043f624fbd8d31a62371996677";
constexpr const char* kPublicKey = "0bbc346a57667c380120bd9c7fd7e51d2c5fdfea37cd2f5bf405b2c6bf6f2d78";
constexpr const char* kKeyset =
    "18191a1b1c1d1e1f2021222333de386c2d0f96bbd7f165d1208acd2c08914e96f4386d86aa935e5aee37e1b0015051c9d8493a95"
    "31dadbf4ea1e2dc3078432a9f41cb649dcbea50e409dde273709bf2b05d3cfdda097343e6b0ccccd7298a8cf3128a1dd6cc4d0e6"
    "d54029d7e8493c9c64d48c6c43378427fbe3c0b44209ee373680c9e5695626abe9cd77d1acec8cb5aafba3d22cf5458cb9d1dc0e"
    "3d9e7e59";
constexpr const char* kDfp = "42c5d0bd36ebefe0051e4d976b881accc17eb0a32fffd3a44d3ad6fb749b078d";
constexpr const char* kHi = "OLWx3dU4fXfZ7Y8Y5XrX2hn8cPNyWkST+XMWf68sauc=";
constexpr const char* kHexChallenge = "00FF10ab";
constexpr const char* kHexSignature =
    "1h8hLPSR8Uix0MMlpNUVu8r1KxJ58sgdFn17zpHXh+OA7bBslV5cE1U8+sUYqNnz1iG4zYGn/7gPFkhUvJorAQ==";
constexpr const char* kHexMapp = "AP8Qq2V4YW1wbGUuY29t";
constexpr const char* kBase64Challenge = "Y2hhbGxlbmdlLWJ5dGVz";
constexpr const char* kBase64Signature =
    "wBHdllicVyuOtHXtQjGNbGqRDfArPD74cDk4/dMMeyOMxWfezFLbg99AfnxrYMAqbZgy7p0gOcc1xx5HCqBeBw==";
constexpr const char* kBase64Mapp = "Y2hhbGxlbmdlLWJ5dGVzZXhhbXBsZS5jb20=";

Bytes hex(const char* text) {
  return platform::hexDecode(text).value();
}

Case caseOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const VelqoV1CryptoError& error) {
    return error.errorCase();
  }
  ADD_FAILURE() << "no VelqoV1CryptoError thrown";
  return Case::signingFailed;
}

TEST(VelqoV1CryptoTest, DerivationsUseTheirLabelsAndSalts) {
  const Bytes secret = hex(kSecret);
  EXPECT_EQ(V::deriveSK0(secret, hex(kSalt0)), hex(kSk0));
  EXPECT_EQ(V::deriveSK2(secret, hex(kSalt1)), hex(kSk2));
  EXPECT_EQ(V::deriveHDS(secret, hex(kSalt2)), hex(kHds));
  EXPECT_EQ(V::deriveSK1(secret, hex(kCombinedPrs)), hex(kSk1));
}

TEST(VelqoV1CryptoTest, SealedValuesHaveTheWireLayoutsAndOpen) {
  const auto prs = V::encryptCombinedPrs(hex(kPrivateKey), hex(kSk0), hex(kIv0));
  EXPECT_EQ(prs.combinedprs, hex(kCombinedPrs));
  EXPECT_EQ(prs.iv0, hex(kIv0));
  EXPECT_EQ(V::encryptCombinedSalt(hex(kSalt0), hex(kInfo), hex(kSk1), hex(kIv1)), hex(kCombinedSalt));
  EXPECT_EQ(V::encryptKeyset(hex(kPublicKey), hex(kCombinedSalt), hex(kSk2), hex(kIv2)), hex(kKeyset));
  EXPECT_EQ(V::decryptCombinedPrs(hex(kCombinedPrs), hex(kIv0), hex(kSk0)), hex(kPrivateKey));
  EXPECT_EQ(V::decryptCombinedSalt(hex(kCombinedSalt), hex(kSk1), hex(kInfo)), hex(kSalt0));
  const auto keyset = V::decryptKeyset(hex(kKeyset), hex(kSk2));
  EXPECT_EQ(keyset.publicKey, hex(kPublicKey));
  EXPECT_EQ(keyset.combinedSalt, hex(kCombinedSalt));
}

TEST(VelqoV1CryptoTest, SealingWithoutNonceDrawsAFreshOne) {
  const Bytes sk = hex(kSk1);
  const Bytes info = hex(kInfo);
  const Bytes first = V::encryptCombinedSalt(hex(kSalt0), info, sk);
  const Bytes second = V::encryptCombinedSalt(hex(kSalt0), info, sk);
  ASSERT_EQ(first.size(), 12 + 32 + info.size() + 16);
  EXPECT_NE(Bytes(first.begin(), first.begin() + 12), Bytes(second.begin(), second.begin() + 12));
  EXPECT_EQ(V::decryptCombinedSalt(second, sk, info), hex(kSalt0));
  const auto prs = V::encryptCombinedPrs(hex(kPrivateKey), hex(kSk0));
  EXPECT_EQ(prs.iv0.size(), 12u);
  EXPECT_EQ(V::decryptCombinedPrs(prs.combinedprs, prs.iv0, hex(kSk0)), hex(kPrivateKey));
  const Bytes random = V::randomBytes(32);
  EXPECT_EQ(random.size(), 32u);
  EXPECT_NE(random, V::randomBytes(32));
}

TEST(VelqoV1CryptoTest, DigestsAndInfoStringHaveTheirInputOrder) {
  EXPECT_EQ(V::makeInfoString("com.velqo.tests", "Linux", VelqoV1CryptoSuite::algorithmP256), hex(kInfo));
  EXPECT_EQ(V::computeDFP(hex(kHds), "com.velqo.tests", "Linux"), hex(kDfp));
  EXPECT_EQ(V::computeHI(hex(kSalt1), hex(kSalt2), hex(kSk2), hex(kCombinedPrs), hex(kAPeer), hex(kSecret),
                         "user@example.com", "example.com", hex(kDfp)),
            kHi);
}

TEST(VelqoV1CryptoTest, SignsDecodedChallengeFollowedByDomain) {
  const auto hexSigned = V::signChallenge(kHexChallenge, "HEX", "example.com", hex(kPrivateKey));
  EXPECT_EQ(hexSigned.signature, kHexSignature);
  EXPECT_EQ(hexSigned.mapp, kHexMapp);
  const auto b64Signed = V::signChallenge(kBase64Challenge, "Base64", "example.com", hex(kPrivateKey));
  EXPECT_EQ(b64Signed.signature, kBase64Signature);
  EXPECT_EQ(b64Signed.mapp, kBase64Mapp);
  // An empty hex challenge signs the domain alone.
  EXPECT_EQ(V::signChallenge("", "hex", "example.com", hex(kPrivateKey)).mapp,
            platform::base64Encode(std::string_view("example.com")));
}

TEST(VelqoV1CryptoTest, EachFailureRaisesItsCase) {
  const Bytes key = hex(kSk1), info = hex(kInfo), salt = hex(kSalt0), signingKey = hex(kPrivateKey);
  auto tampered = [](Bytes b) {
    b[b.size() / 2] ^= 0x01;
    return b;
  };
  auto sealShort = [&](std::size_t size) {
    return V::encryptCombinedSalt(Bytes(size, 7), {}, key, hex(kIv1));
  };
  const std::tuple<const char*, std::function<void()>, Case> rows[] = {
      {"11-byte nonce", [&] { V::encryptCombinedPrs(salt, key, Bytes(11, 0)); },
       Case::nonceInitializationFailed},
      {"16-byte key", [&] { V::encryptCombinedSalt(salt, info, Bytes(16, 1)); }, Case::encryptionFailed},
      {"16-byte prs", [&] { V::decryptCombinedPrs(Bytes(16, 0), hex(kIv0), hex(kSk0)); },
       Case::invalidCiphertext},
      {"13-byte prs nonce", [&] { V::decryptCombinedPrs(hex(kCombinedPrs), Bytes(13, 0), hex(kSk0)); },
       Case::nonceInitializationFailed},
      {"prs tampered", [&] { V::decryptCombinedPrs(tampered(hex(kCombinedPrs)), hex(kIv0), hex(kSk0)); },
       Case::decryptionFailed},
      {"28-byte salt", [&] { V::decryptCombinedSalt(Bytes(28, 0), key, info); }, Case::invalidCiphertext},
      {"salt tampered", [&] { V::decryptCombinedSalt(tampered(hex(kCombinedSalt)), key, info); },
       Case::decryptionFailed},
      {"31-byte salt plaintext", [&] { V::decryptCombinedSalt(sealShort(31), key, {}); },
       Case::invalidCiphertext},
      {"other info", [&] { V::decryptCombinedSalt(hex(kCombinedSalt), key, bytesOf("com.x")); },
       Case::invalidInfoString},
      {"info a byte short",
       [&] { V::decryptCombinedSalt(hex(kCombinedSalt), key, Bytes(info.begin(), info.end() - 1)); },
       Case::invalidInfoString},
      {"32-byte keyset plaintext", [&] { V::decryptKeyset(sealShort(32), key); }, Case::invalidKeyset},
      {"27-byte keyset", [&] { V::decryptKeyset(Bytes(27, 0), key); }, Case::invalidCiphertext},
      {"bad base64", [&] { V::signChallenge("abc", "base64", "d", signingKey); }, Case::invalidChallenge},
      {"odd hex", [&] { V::signChallenge("abc", "hex", "d", signingKey); }, Case::invalidChallengeEncoding},
      {"unknown encoding", [&] { V::signChallenge("00", "utf8", "d", signingKey); },
       Case::invalidChallengeEncoding},
      {"31-byte signing key", [&] { V::signChallenge("00", "hex", "d", Bytes(31, 1)); }, Case::signingFailed},
  };
  for (const auto& [name, action, expected] : rows) {
    EXPECT_EQ(caseOf(action), expected) << name;
  }
}

TEST(VelqoV1CryptoSuiteTest, CanonicalNamesAndCompatibility) {
  const std::string canonical = "ECDH P-256+Ed25519";
  EXPECT_EQ(std::string(VelqoV1CryptoSuite::algorithmP256), canonical);
  const std::pair<const char*, bool> names[] = {
      {" \n\t", true},   {"  ecdh p-256 + ed25519\n", true},
      {"Ed25519", true}, {"ECDSA-P256-SHA256", true},
      {"X25519", false}, {"P-384", false},
  };
  for (const auto& [text, known] : names) {
    EXPECT_EQ(VelqoV1CryptoSuite::canonicalAlgorithm(text), known ? std::optional(canonical) : std::nullopt)
        << '"' << text << '"';
  }
  const std::tuple<const char*, const char*, bool> pairs[] = {
      {"ECDH P-256+Ed25519", "p256", true},
      {"RSA", "rsa", true},
      {"RSA", "P-256", false},
      {"X25519", "ed448", false},
  };
  for (const auto& [a, b, compatible] : pairs) {
    EXPECT_EQ(VelqoV1CryptoSuite::areCompatible(a, b), compatible) << a << " / " << b;
  }
}

}  // namespace
}  // namespace velqo
