// Expected values (data/v1_crypto_vectors.json) come from tests/core/data/make_core_vectors.py, an
// independent implementation over the Python `cryptography` package.

#include "velqo/core/velqo_v1_crypto.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <tuple>

#include "platform/encoding.hpp"
#include "support/test_environment.hpp"

namespace velqo {
namespace {

using Case = VelqoV1CryptoError::Case;
using V = VelqoV1Crypto;

const nlohmann::json& vectors() {
  static const auto data =
      testing::readJsonFile(std::filesystem::path(__FILE__).parent_path() / "data/v1_crypto_vectors.json");
  return data;
}
std::string text(const char* name) {
  return vectors().at(name).get<std::string>();
}
Bytes hex(const char* name) {
  return platform::hexDecode(text(name)).value();
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
  const Bytes secret = hex("Secret");
  EXPECT_EQ(V::deriveSK0(secret, hex("Salt0")), hex("Sk0"));
  EXPECT_EQ(V::deriveSK2(secret, hex("Salt1")), hex("Sk2"));
  EXPECT_EQ(V::deriveHDS(secret, hex("Salt2")), hex("Hds"));
  EXPECT_EQ(V::deriveSK1(secret, hex("CombinedPrs")), hex("Sk1"));
}

TEST(VelqoV1CryptoTest, SealedValuesHaveTheWireLayoutsAndOpen) {
  const auto prs = V::encryptCombinedPrs(hex("PrivateKey"), hex("Sk0"), hex("Iv0"));
  EXPECT_EQ(prs.combinedprs, hex("CombinedPrs"));
  EXPECT_EQ(prs.iv0, hex("Iv0"));
  EXPECT_EQ(V::encryptCombinedSalt(hex("Salt0"), hex("Info"), hex("Sk1"), hex("Iv1")), hex("CombinedSalt"));
  EXPECT_EQ(V::encryptKeyset(hex("PublicKey"), hex("CombinedSalt"), hex("Sk2"), hex("Iv2")), hex("Keyset"));
  EXPECT_EQ(V::decryptCombinedPrs(hex("CombinedPrs"), hex("Iv0"), hex("Sk0")), hex("PrivateKey"));
  EXPECT_EQ(V::decryptCombinedSalt(hex("CombinedSalt"), hex("Sk1"), hex("Info")), hex("Salt0"));
  const auto keyset = V::decryptKeyset(hex("Keyset"), hex("Sk2"));
  EXPECT_EQ(keyset.publicKey, hex("PublicKey"));
  EXPECT_EQ(keyset.combinedSalt, hex("CombinedSalt"));
}

TEST(VelqoV1CryptoTest, SealingWithoutNonceDrawsAFreshOne) {
  const Bytes sk = hex("Sk1");
  const Bytes info = hex("Info");
  const Bytes first = V::encryptCombinedSalt(hex("Salt0"), info, sk);
  const Bytes second = V::encryptCombinedSalt(hex("Salt0"), info, sk);
  ASSERT_EQ(first.size(), 12 + 32 + info.size() + 16);
  EXPECT_NE(Bytes(first.begin(), first.begin() + 12), Bytes(second.begin(), second.begin() + 12));
  EXPECT_EQ(V::decryptCombinedSalt(second, sk, info), hex("Salt0"));
  const auto prs = V::encryptCombinedPrs(hex("PrivateKey"), hex("Sk0"));
  EXPECT_EQ(prs.iv0.size(), 12u);
  EXPECT_EQ(V::decryptCombinedPrs(prs.combinedprs, prs.iv0, hex("Sk0")), hex("PrivateKey"));
  const Bytes random = V::randomBytes(32);
  EXPECT_EQ(random.size(), 32u);
  EXPECT_NE(random, V::randomBytes(32));
}

TEST(VelqoV1CryptoTest, DigestsAndInfoStringHaveTheirInputOrder) {
  EXPECT_EQ(V::makeInfoString("com.velqo.tests", "Linux", VelqoV1CryptoSuite::algorithmP256), hex("Info"));
  EXPECT_EQ(V::computeDFP(hex("Hds"), "com.velqo.tests", "Linux"), hex("Dfp"));
  EXPECT_EQ(V::computeHI(hex("Salt1"), hex("Salt2"), hex("Sk2"), hex("CombinedPrs"), hex("APeer"),
                         hex("Secret"), "user@example.com", "example.com", hex("Dfp")),
            text("Hi"));
}

TEST(VelqoV1CryptoTest, SignsDecodedChallengeFollowedByDomain) {
  const auto hexSigned = V::signChallenge(text("HexChallenge"), "HEX", "example.com", hex("PrivateKey"));
  EXPECT_EQ(hexSigned.signature, text("HexSignature"));
  EXPECT_EQ(hexSigned.mapp, text("HexMapp"));
  const auto b64Signed =
      V::signChallenge(text("Base64Challenge"), "Base64", "example.com", hex("PrivateKey"));
  EXPECT_EQ(b64Signed.signature, text("Base64Signature"));
  EXPECT_EQ(b64Signed.mapp, text("Base64Mapp"));
  // An empty hex challenge signs the domain alone.
  EXPECT_EQ(V::signChallenge("", "hex", "example.com", hex("PrivateKey")).mapp,
            platform::base64Encode(std::string_view("example.com")));
}

TEST(VelqoV1CryptoTest, EachFailureRaisesItsCase) {
  const Bytes key = hex("Sk1"), info = hex("Info"), salt = hex("Salt0"), signingKey = hex("PrivateKey");
  auto tampered = [](Bytes b) {
    b[b.size() / 2] ^= 0x01;
    return b;
  };
  auto sealShort = [&](std::size_t size) {
    return V::encryptCombinedSalt(Bytes(size, 7), {}, key, hex("Iv1"));
  };
  const std::tuple<const char*, std::function<void()>, Case> rows[] = {
      {"11-byte nonce", [&] { V::encryptCombinedPrs(salt, key, Bytes(11, 0)); },
       Case::nonceInitializationFailed},
      {"16-byte key", [&] { V::encryptCombinedSalt(salt, info, Bytes(16, 1)); }, Case::encryptionFailed},
      {"16-byte prs", [&] { V::decryptCombinedPrs(Bytes(16, 0), hex("Iv0"), hex("Sk0")); },
       Case::invalidCiphertext},
      {"13-byte prs nonce", [&] { V::decryptCombinedPrs(hex("CombinedPrs"), Bytes(13, 0), hex("Sk0")); },
       Case::nonceInitializationFailed},
      {"prs tampered", [&] { V::decryptCombinedPrs(tampered(hex("CombinedPrs")), hex("Iv0"), hex("Sk0")); },
       Case::decryptionFailed},
      {"28-byte salt", [&] { V::decryptCombinedSalt(Bytes(28, 0), key, info); }, Case::invalidCiphertext},
      {"salt tampered", [&] { V::decryptCombinedSalt(tampered(hex("CombinedSalt")), key, info); },
       Case::decryptionFailed},
      {"31-byte salt plaintext", [&] { V::decryptCombinedSalt(sealShort(31), key, {}); },
       Case::invalidCiphertext},
      {"other info", [&] { V::decryptCombinedSalt(hex("CombinedSalt"), key, bytesOf("com.x")); },
       Case::invalidInfoString},
      {"info a byte short",
       [&] { V::decryptCombinedSalt(hex("CombinedSalt"), key, Bytes(info.begin(), info.end() - 1)); },
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

TEST(VelqoV1CryptoTest, EachCaseHasItsCodeAndDescription) {
  const std::tuple<VelqoV1CryptoError, long, const char*> rows[] = {
      {VelqoV1CryptoError::randomGenerationFailed(-1), 0,
       "Secure random bytes could not be generated. (status -1)"},
      {VelqoV1CryptoError::nonceInitializationFailed(), 1, "The AES-GCM nonce could not be initialised."},
      {VelqoV1CryptoError::encryptionFailed(), 2, "The value could not be encrypted."},
      {VelqoV1CryptoError::decryptionFailed(), 3, "The value could not be decrypted."},
      {VelqoV1CryptoError::invalidCiphertext(), 4, "The ciphertext is invalid."},
      {VelqoV1CryptoError::invalidChallengeEncoding(), 5, "The challenge encoding is invalid."},
      {VelqoV1CryptoError::invalidChallenge(), 6, "The challenge is invalid."},
      {VelqoV1CryptoError::invalidInfoString(), 7, "The info string does not match."},
      {VelqoV1CryptoError::invalidKeyset(), 8, "The keyset is invalid."},
      {VelqoV1CryptoError::signingFailed(), 9, "The challenge could not be signed."},
  };
  for (const auto& [error, code, description] : rows) {
    EXPECT_EQ(error.domain(), "VelqoV1CryptoError");
    EXPECT_EQ(error.code(), code);
    EXPECT_EQ(static_cast<long>(error.errorCase()), code);
    EXPECT_EQ(error.localizedDescription(), description);
  }
  EXPECT_EQ(VelqoV1CryptoError::randomGenerationFailed(-1).status(), -1);
}

TEST(VelqoV1CryptoSuiteTest, CanonicalNamesAndCompatibility) {
  const std::string canonical = "ECDH P-256+Ed25519";
  EXPECT_EQ(std::string(VelqoV1CryptoSuite::algorithmP256), canonical);
  const std::pair<const char*, bool> names[] = {
      {" \n\t", true},
      {"  ecdh p-256 + ed25519\n", true},
      {"Ed25519", true},
      {"ECDSA-P256-SHA256", true},
      {"X25519", false},
      {"P-384", false},
      {"\xC2\xA0\xE3\x80\x80\xC2\x85", true},  // no-break, ideographic space, NEL: blank
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
