// V5 key derivation, sealing and challenge signing, against vectors computed by an independent
// implementation (tests/account/data/make_v5_vectors.py).

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "account/v5/v5_crypto.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo::testing {
namespace {

using Case = V5CryptoError::Case;
namespace pc = platform::crypto;

Bytes hex(const nlohmann::json& value) {
  return platform::hexDecode(value.get<std::string>()).value();
}

void expectCase(const std::function<void()>& call, Case expected) {
  try {
    call();
    ADD_FAILURE() << "no error, expected case " << static_cast<int>(expected);
  } catch (const V5CryptoError& e) {
    EXPECT_EQ(e.errorCase(), expected) << e.what();
    EXPECT_EQ(e.code(), static_cast<long>(expected));
  }
}

// The sk0, sk2 and hds labels are checked end to end, where the stored record is opened
// independently.
TEST(V5CryptoTest, MatchesVectorsOfAnIndependentImplementation) {
  std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "data" / "v5_vectors.json");
  const auto v = nlohmann::json::parse(in);
  const auto& sk1 = v.at("deriveSK1");
  EXPECT_EQ(V5Crypto::deriveSK1(hex(sk1.at("secret")), hex(sk1.at("combinedPrs"))), hex(sk1.at("expected")));

  for (const auto& o : v.at("open")) {
    const auto aad = o.at("aad").is_null() ? std::nullopt : std::optional<Bytes>(hex(o.at("aad")));
    const Bytes key = hex(o.at("key")), sealed = hex(o.at("sealed"));
    EXPECT_EQ(V5Crypto::open(key, sealed, aad), hex(o.at("plaintext")));
    for (std::size_t i = 0; i < sealed.size(); ++i) {
      Bytes changed = sealed;
      changed[i] ^= 0x80;
      expectCase([&] { (void)V5Crypto::open(key, changed, aad); }, Case::decryptionFailed);
    }
    expectCase([&] { (void)V5Crypto::open(key, sealed, bytesOf("other")); }, Case::decryptionFailed);
  }

  const auto& cs = v.at("combinedSalt");
  const Bytes info = hex(cs.at("info"));
  EXPECT_EQ(V5Crypto::openCombinedSalt(hex(cs.at("sealed")), hex(cs.at("key")), info), hex(cs.at("salt0")));
  Bytes differing = info;
  differing[3] ^= 1;
  for (const Bytes& wrong : {Bytes(info.begin(), info.end() - 1), differing, Bytes{}}) {
    expectCase([&] { (void)V5Crypto::openCombinedSalt(hex(cs.at("sealed")), hex(cs.at("key")), wrong); },
               Case::invalidInfoString);
  }

  for (const auto& s : v.at("sign")) {
    const auto context =
        s.at("context").is_null() ? std::nullopt : std::optional<std::string>(s.at("context"));
    const auto result =
        V5Crypto::signChallenge(s.at("challenge").get<std::string>(), context, hex(s.at("seed")));
    EXPECT_EQ(result.signature, s.at("signature")) << s.at("challenge");
    EXPECT_EQ(result.message, s.at("message")) << s.at("challenge");
  }
}

TEST(V5CryptoTest, ShortBlobsUnreadableChallengesAndBadKeys) {
  const Bytes key(32, 7);
  expectCase([&] { (void)V5Crypto::open(key, V5Crypto::seal(key, Bytes{})); }, Case::invalidCiphertext);
  expectCase([&] { (void)V5Crypto::seal(Bytes(16, 1), Bytes{1}); }, Case::encryptionFailed);
  expectCase([&] { (void)V5Crypto::openCombinedSalt(V5Crypto::seal(key, Bytes(31, 1)), key, {}); },
             Case::invalidCiphertext);
  // Valid readings are in the vectors ("AbCd" is hex although it is also base64).
  for (const char* challenge : {"abc", "AAE", "AA E", "0g", "QQ==\n"}) {
    expectCase([&] { (void)V5Crypto::signChallenge(challenge, std::nullopt, Bytes(32, 3)); },
               Case::invalidChallenge);
  }
  EXPECT_EQ(V5Crypto::signChallenge("", "d", Bytes(32, 3)).message, "ZA==")
      << "empty challenge, context only";
  expectCase([&] { (void)V5Crypto::signChallenge("00", std::nullopt, Bytes(31, 1)); }, Case::signingFailed);
}

TEST(V5CryptoTest, EachCaseHasItsCodeAndDescription) {
  const std::pair<Case, const char*> rows[] = {
      {Case::nonceInitializationFailed, "The AES-GCM nonce could not be initialised."},
      {Case::encryptionFailed, "The value could not be sealed."},
      {Case::decryptionFailed, "The sealed value could not be opened."},
      {Case::invalidCiphertext, "The sealed value is too short."},
      {Case::invalidChallenge, "The challenge is neither hexadecimal nor base64."},
      {Case::signingFailed, "The challenge could not be signed."},
      {Case::invalidInfoString, "The info string does not match."},
  };
  for (const auto& [errorCase, description] : rows) {
    const V5CryptoError error = V5CryptoError::make(errorCase);
    EXPECT_EQ(error.domain(), "V5CryptoError");
    EXPECT_EQ(error.code(), static_cast<long>(errorCase));
    EXPECT_EQ(error.localizedDescription(), description);
    EXPECT_EQ(error.status(), 0);
  }
  const V5CryptoError random = V5CryptoError::randomGenerationFailed(-1);
  EXPECT_EQ(random.code(), 0);
  EXPECT_EQ(random.status(), -1);
  EXPECT_EQ(random.localizedDescription(), "Secure random bytes could not be generated. (status -1)");
}

}  // namespace
}  // namespace velqo::testing
