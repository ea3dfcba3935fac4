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

const nlohmann::json& vectors() {
  static const nlohmann::json data = [] {
    std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "data" / "v5_vectors.json");
    return nlohmann::json::parse(in);
  }();
  return data;
}

Bytes hex(const nlohmann::json& value) {
  return platform::hexDecode(value.get<std::string>()).value();
}

void expectCase(const std::function<void()>& call, Case expected) {
  try {
    call();
    ADD_FAILURE() << "no error, expected case " << static_cast<int>(expected);
  } catch (const V5CryptoError& e) {
    EXPECT_EQ(e.errorCase(), expected) << e.what();
    EXPECT_EQ(e.domain(), "V5CryptoError");
    EXPECT_EQ(e.code(), static_cast<long>(expected));
  }
}

TEST(V5CryptoTest, DerivationsMatchVectorsUnderTheirOwnLabels) {
  std::vector<Bytes> keys;
  for (const auto& v : vectors().at("derive")) {
    const Bytes secret = hex(v.at("secret"));
    const Bytes salt = hex(v.at("salt"));
    const std::string label = v.at("label");
    Bytes derived = label == V5Crypto::labelSK0   ? V5Crypto::deriveSK0(secret, salt)
                    : label == V5Crypto::labelSK2 ? V5Crypto::deriveSK2(secret, salt)
                                                  : V5Crypto::deriveHDS(secret, salt);
    EXPECT_EQ(derived, hex(v.at("expected"))) << label;
    keys.push_back(derived);
  }
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_NE(keys[0], keys[1]);
  EXPECT_NE(keys[1], keys[2]);

  const auto& sk1 = vectors().at("deriveSK1");
  const Bytes secret = hex(sk1.at("secret"));
  Bytes prs = hex(sk1.at("combinedPrs"));
  EXPECT_EQ(V5Crypto::deriveSK1(secret, prs), hex(sk1.at("expected")));
  prs.back() ^= 1;
  EXPECT_NE(V5Crypto::deriveSK1(secret, prs), hex(sk1.at("expected")));
}

TEST(V5CryptoTest, OpensBlobsSealedElsewhereAndRejectsAnyChange) {
  for (const auto& v : vectors().at("open")) {
    const Bytes key = hex(v.at("key"));
    const Bytes sealed = hex(v.at("sealed"));
    const std::optional<Bytes> aad =
        v.at("aad").is_null() ? std::nullopt : std::optional<Bytes>(hex(v.at("aad")));
    EXPECT_EQ(V5Crypto::open(key, sealed, aad), hex(v.at("plaintext")));

    for (std::size_t i = 0; i < sealed.size(); ++i) {
      Bytes changed = sealed;
      changed[i] ^= 0x80;
      expectCase([&] { (void)V5Crypto::open(key, changed, aad); }, Case::decryptionFailed);
    }
    Bytes otherKey = key;
    otherKey[0] ^= 1;
    expectCase([&] { (void)V5Crypto::open(otherKey, sealed, aad); }, Case::decryptionFailed);
    expectCase([&] { (void)V5Crypto::open(key, sealed, bytesOf("other")); }, Case::decryptionFailed);
  }
}

TEST(V5CryptoTest, SealsIntoNonceCiphertextTagAndShortBlobsAreRefused) {
  const Bytes key(32, 7);
  const Bytes one = V5Crypto::seal(key, Bytes{0x42});
  ASSERT_EQ(one.size(), 29u);
  EXPECT_EQ(V5Crypto::open(key, one), Bytes{0x42});
  // Read back with the raw primitive: nonce first, tag last.
  const auto span = platform::crypto::view(one);
  EXPECT_EQ(platform::crypto::aesGcmOpen(platform::crypto::view(key), span.first(12), span.subspan(12, 1),
                                         span.last(16)),
            Bytes{0x42});

  const Bytes empty = V5Crypto::seal(key, Bytes{});
  EXPECT_EQ(empty.size(), 28u);
  expectCase([&] { (void)V5Crypto::open(key, empty); }, Case::invalidCiphertext);
  EXPECT_NE(V5Crypto::seal(key, Bytes{1}), V5Crypto::seal(key, Bytes{1})) << "fresh nonce per seal";

  const Bytes aad = bytesOf("aad");
  EXPECT_EQ(V5Crypto::open(key, V5Crypto::seal(key, bytesOf("x"), aad), aad), bytesOf("x"));
  expectCase([&] { (void)V5Crypto::seal(Bytes(16, 1), Bytes{1}); }, Case::encryptionFailed);
  EXPECT_TRUE(V5Crypto::randomBytes(0).empty());
  EXPECT_EQ(V5Crypto::randomBytes(32).size(), 32u);
}

TEST(V5CryptoTest, CombinedSaltChecksTheInfoStringExactly) {
  const auto& v = vectors().at("combinedSalt");
  const Bytes key = hex(v.at("key"));
  const Bytes info = hex(v.at("info"));
  EXPECT_EQ(V5Crypto::openCombinedSalt(hex(v.at("sealed")), key, info), hex(v.at("salt0")));

  Bytes longer = info;
  longer.push_back('x');
  Bytes shorter(info.begin(), info.end() - 1);
  Bytes differing = info;
  differing[3] ^= 1;
  for (const Bytes& wrong : {longer, shorter, differing, Bytes{}}) {
    expectCase([&] { (void)V5Crypto::openCombinedSalt(hex(v.at("sealed")), key, wrong); },
               Case::invalidInfoString);
  }

  const Bytes salt0(32, 9);
  EXPECT_EQ(V5Crypto::openCombinedSalt(V5Crypto::seal(key, salt0), key, {}), salt0);
  expectCase([&] { (void)V5Crypto::openCombinedSalt(V5Crypto::seal(key, salt0), key, bytesOf("i")); },
             Case::invalidInfoString);
  expectCase([&] { (void)V5Crypto::openCombinedSalt(V5Crypto::seal(key, Bytes(31, 1)), key, {}); },
             Case::invalidCiphertext);
}

TEST(V5CryptoTest, SignsChallengeFollowedByContext) {
  for (const auto& v : vectors().at("sign")) {
    const std::optional<std::string> context =
        v.at("context").is_null() ? std::nullopt
                                  : std::optional<std::string>(v.at("context").get<std::string>());
    const auto signed_ =
        V5Crypto::signChallenge(v.at("challenge").get<std::string>(), context, hex(v.at("seed")));
    EXPECT_EQ(signed_.signature, v.at("signature")) << v.at("challenge");
    EXPECT_EQ(signed_.message, v.at("message")) << v.at("challenge");
  }
}

TEST(V5CryptoTest, ChallengeReadingAndKeyFailures) {
  const Bytes seed(32, 3);
  struct Row {
    const char* challenge;
    std::optional<Bytes> expected;  // nothing: invalidChallenge
  };
  const Row rows[] = {
      {"00ff", Bytes{0x00, 0xff}}, {"", Bytes{}}, {"abc", std::nullopt},  // odd length, and not base64 either
      {"zz==", Bytes{0xcf}},                                              // not hex, strict base64
      {"AAE", std::nullopt},                                              // base64 without its fill character
      {"AA E", std::nullopt},                                             // whitespace is refused
      {"0g", std::nullopt},                                               // a non-hex pair that is not base64
  };
  for (const Row& row : rows) {
    if (!row.expected) {
      expectCase([&] { (void)V5Crypto::signChallenge(row.challenge, std::nullopt, seed); },
                 Case::invalidChallenge);
      continue;
    }
    const auto result = V5Crypto::signChallenge(row.challenge, std::string("d"), seed);
    Bytes message = *row.expected;
    message.push_back('d');
    EXPECT_EQ(result.message, platform::base64Encode(message)) << row.challenge;
    const auto publicKey = platform::crypto::ed25519PublicKey(platform::crypto::view(seed)).value();
    EXPECT_TRUE(platform::crypto::ed25519Verify(
        platform::crypto::view(publicKey), platform::crypto::view(message),
        platform::crypto::view(platform::base64Decode(result.signature).value())));
  }
  expectCase([&] { (void)V5Crypto::signChallenge("00", std::nullopt, Bytes(31, 1)); }, Case::signingFailed);
  EXPECT_EQ(V5Crypto::dataFromHex("0aFF"), (Bytes{0x0a, 0xff}));
  EXPECT_EQ(V5Crypto::dataFromHex("0"), std::nullopt);
}

}  // namespace
}  // namespace velqo::testing
