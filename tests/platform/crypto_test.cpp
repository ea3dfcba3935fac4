#include "platform/crypto.hpp"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <climits>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include "platform/bigint.hpp"
#include "platform/encoding.hpp"
#include "support/test_environment.hpp"

namespace velqo::platform::crypto {
namespace {

Bytes hex(std::string_view text) {
  return hexDecode(text).value();
}

const nlohmann::json& vectors() {
  static const auto data =
      testing::readJsonFile(std::filesystem::path(__FILE__).parent_path() / "data/crypto_vectors.json");
  return data;
}

// SHA-256 of FIPS 180-2, HKDF of RFC 5869 (with empty salt and info left out: zero salt, no
// info) and an empty-key case.
TEST(CryptoDigestHkdfAndRandom, PublishedVectorsEdgeLengthsAndFreshRandomBytes) {
  for (const auto& [text, digest] : vectors()["sha256"].items()) {
    EXPECT_EQ(sha256Hex(view(std::string_view(text))), digest.get<std::string>()) << text;
    EXPECT_EQ(sha256(view(std::string_view(text))), hex(digest.get<std::string>())) << text;
  }
  for (const auto& row : vectors()["hkdf"]) {
    const Bytes ikm = hex(row[0].get<std::string>()), salt = hex(row[1].get<std::string>()),
                info = hex(row[2].get<std::string>());
    EXPECT_EQ(hkdfSha256(view(ikm), view(salt), view(info), row[3].get<std::size_t>()),
              hex(row[4].get<std::string>()));
  }
  const Bytes ikm(22, 0x0b);
  EXPECT_TRUE(hkdfSha256(view(ikm), {}, {}, 0).empty());
  EXPECT_EQ(hkdfSha256(view(ikm), {}, {}, 255 * 32).size(), 255u * 32u);
  EXPECT_THROW(hkdfSha256(view(ikm), {}, {}, 255 * 32 + 1), std::invalid_argument);
  EXPECT_EQ(randomBytes(32).size(), 32u);
  EXPECT_NE(randomBytes(32), randomBytes(32));
  EXPECT_EQ(randomBytes(nullptr, 0), 0);
}

TEST(CryptoAesGcm, PublishedVectorsSealAndOpenAndTamperingIsRefused) {
  const Bytes key = hex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
  const Bytes nonce = hex("cafebabefacedbaddecaf888");
  // McGrew-Viega test cases 13 (all empty, zero key) and 16 (AAD, 60-byte plaintext).
  for (const auto& row : vectors()["aesGcm"]) {
    const auto field = [&](int i) { return hex(row[i].get<std::string>()); };
    const Bytes k = field(0), n = field(1), plain = field(2), aad = field(3), cipher = field(4),
                tag = field(5);
    const auto sealed = aesGcmSeal(view(k), view(n), view(plain), view(aad));
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(sealed->ciphertext, cipher);
    EXPECT_EQ(sealed->tag, tag);
    EXPECT_EQ(aesGcmOpen(view(k), view(n), view(cipher), view(tag), view(aad)), plain);
  }

  const Bytes plain = bytesOf("secret payload"), aad = bytesOf("aad");
  const GcmSealed sealed = aesGcmSeal(view(key), view(nonce), view(plain), view(aad)).value();
  Bytes badCipher = sealed.ciphertext;
  badCipher[0] ^= 0x80;
  const Bytes shortTag(sealed.tag.begin(), sealed.tag.end() - 1),
      oneByteTag(sealed.tag.begin(), sealed.tag.begin() + 1);
  const Bytes shortKey(16, 0), longNonce(16, 0);
  // A truncated tag must not pass a lax check.
  const std::array<Bytes, 5> refused[] = {
      {key, nonce, badCipher, sealed.tag, aad},
      {key, nonce, sealed.ciphertext, sealed.tag, {}},
      {key, nonce, sealed.ciphertext, shortTag, aad},
      {key, nonce, sealed.ciphertext, oneByteTag, aad},
      {shortKey, nonce, sealed.ciphertext, sealed.tag, aad},
      {key, longNonce, sealed.ciphertext, sealed.tag, aad},
  };
  for (const auto& [k, n, c, t, a] : refused)
    EXPECT_FALSE(aesGcmOpen(view(k), view(n), view(c), view(t), view(a)));
  EXPECT_FALSE(aesGcmSeal(view(shortKey), view(nonce), view(plain)));
  EXPECT_FALSE(aesGcmSeal(view(key), view(longNonce), view(plain)));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(CryptoAesGcm, CombinedFormIsNonceCiphertextTagAndOpensWhole) {
  const Bytes key(32, 9), nonce = hex("cafebabefacedbaddecaf888"), aad = bytesOf("aad");
  for (const Bytes& plain : {Bytes{}, bytesOf("secret payload")}) {
    const GcmSealed parts = aesGcmSeal(view(key), view(nonce), view(plain), view(aad)).value();
    const Bytes combined = aesGcmSealCombined(view(key), view(nonce), view(plain), view(aad)).value();
    Bytes expected = nonce;
    expected.insert(expected.end(), parts.ciphertext.begin(), parts.ciphertext.end());
    expected.insert(expected.end(), parts.tag.begin(), parts.tag.end());
    EXPECT_EQ(combined, expected);
    // The smallest combined value (no ciphertext, 28 bytes) opens too.
    EXPECT_EQ(aesGcmOpenCombined(view(key), view(combined), view(aad)), plain);
    EXPECT_FALSE(aesGcmOpenCombined(view(key), view(combined)));
    EXPECT_FALSE(aesGcmOpenCombined(view(key), ByteView(combined).first(combined.size() - 1), view(aad)));
  }
  EXPECT_FALSE(aesGcmOpenCombined(view(key), view(Bytes(gcmNonceSize + gcmTagSize - 1, 0))));
  EXPECT_FALSE(aesGcmSealCombined(view(Bytes(16, 0)), view(nonce), view(bytesOf("x"))));
  EXPECT_FALSE(aesGcmSealCombined(view(key), view(Bytes(16, 0)), view(bytesOf("x"))));
}

TEST(CryptoEd25519, Rfc8032VectorAndRefusals) {
  // RFC 8032 section 7.1, test 2.
  const auto& v = vectors()["ed25519"];
  const auto field = [&](const char* name) { return hex(v[name].get<std::string>()); };
  const Bytes seed = field("seed"), publicKey = field("publicKey"), message = field("message"),
              signature = field("signature");
  EXPECT_EQ(ed25519PublicKey(view(seed)), publicKey);
  EXPECT_EQ(ed25519Sign(view(seed), view(message)), signature);
  EXPECT_TRUE(ed25519Verify(view(publicKey), view(message), view(signature)));

  Bytes flipped = signature;
  flipped[10] ^= 0x04;
  EXPECT_FALSE(ed25519Verify(view(publicKey), view(message), view(flipped)));
  EXPECT_FALSE(ed25519Verify(view(publicKey), view(message), ByteView(signature.data(), 63)));
  const Bytes shortSeed(31, 7);
  EXPECT_FALSE(ed25519PublicKey(view(shortSeed)));
  EXPECT_FALSE(ed25519Sign(view(shortSeed), view(message)));
  EXPECT_FALSE(ed25519Verify(view(shortSeed), view(message), view(signature)));
}

// Keys and signatures over "header.payload" made independently with another ECDSA
// implementation; the "padded" signatures have r below 2^(8*(size-1)) (a leading zero byte).
TEST(CryptoEcdsa, VerifiesRawSignaturesPerCurveAndRefusesMalformedOnes) {
  const auto& data = vectors();
  const std::map<std::string, EcCurve> curves = {
      {"p256", EcCurve::p256}, {"p384", EcCurve::p384}, {"p521", EcCurve::p521}};
  struct Vector {
    EcCurve curve;
    std::string pem;
    Bytes normal, padded;
  };
  std::vector<Vector> byCurve;
  for (const auto& v : data["ecdsa"]) {
    byCurve.push_back({curves.at(v["curve"]), v["pem"], hex(v["normal"].get<std::string>()),
                       hex(v["padded"].get<std::string>())});
  }
  ASSERT_EQ(byCurve.size(), 3u);
  const std::string kP256Pem = byCurve[0].pem, kP521Pem = byCurve[2].pem, kRsaPem = data["rsaPem"];
  const Bytes message = bytesOf("header.payload");
  for (const auto& v : byCurve) {
    SCOPED_TRACE(static_cast<int>(v.curve));
    auto verify = [&](const Bytes& signature, const Bytes& over) {
      return ecdsaVerifyRaw(v.pem, v.curve, view(over), view(signature));
    };
    EXPECT_EQ(verify(v.normal, message), EcdsaVerifyResult::valid);
    EXPECT_EQ(verify(v.padded, message), EcdsaVerifyResult::valid);
    Bytes flipped = v.normal, longer = v.normal;
    flipped.back() ^= 0x01;
    longer.push_back(0);
    EXPECT_EQ(verify(flipped, message), EcdsaVerifyResult::invalidSignature);
    // r = s = 0 and r = s = all ones (above the group order) are malformed, not valid.
    EXPECT_EQ(verify(Bytes(v.normal.size(), 0), message), EcdsaVerifyResult::invalidSignature);
    EXPECT_EQ(verify(Bytes(v.normal.size(), 0xFF), message), EcdsaVerifyResult::invalidSignature);
    EXPECT_EQ(verify(Bytes(v.normal.begin(), v.normal.end() - 2), message),
              EcdsaVerifyResult::badSignatureLength);
    EXPECT_EQ(verify(longer, message), EcdsaVerifyResult::badSignatureLength);
  }

  const Bytes p256Signature = byCurve[0].normal;
  const std::tuple<std::string, EcCurve, EcdsaVerifyResult> keys[] = {
      {kP256Pem, EcCurve::p384, EcdsaVerifyResult::curveMismatch},
      {kP521Pem, EcCurve::p256, EcdsaVerifyResult::curveMismatch},
      {kRsaPem, EcCurve::p256, EcdsaVerifyResult::badPublicKey},
      {"not a key", EcCurve::p256, EcdsaVerifyResult::badPublicKey},
  };
  for (const auto& [pem, curve, expected] : keys) {
    EXPECT_EQ(ecdsaVerifyRaw(pem, curve, view(message), view(p256Signature)), expected) << pem;
  }
  std::string damaged = kP256Pem;
  damaged[40] = damaged[40] == 'A' ? 'B' : 'A';
  EXPECT_NE(ecdsaVerifyRaw(damaged, EcCurve::p256, view(message), view(p256Signature)),
            EcdsaVerifyResult::valid);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

BigInt dec(std::string_view text) {
  return BigInt::fromDecimal(text).value();
}

constexpr const char* k2To128 = "340282366920938463463374607431768211456";

TEST(BigInt, ArithmeticTextAndBytes) {
  // Truncating division, like C++ on ints.
  for (const auto& [a, b, quotient, remainder] :
       {std::array<long long, 4>{7, -2, -3, 1}, {-7, 2, -3, -1}, {-7, -2, 3, -1}, {0, 5, 0, 0}}) {
    EXPECT_EQ(BigInt(a) / BigInt(b), BigInt(quotient)) << a << " / " << b;
    EXPECT_EQ(BigInt(a) % BigInt(b), BigInt(remainder)) << a << " % " << b;
  }
  EXPECT_THROW(BigInt(1) / BigInt(0), std::domain_error);
  EXPECT_THROW(BigInt(1) % BigInt(), std::domain_error);
  const BigInt big = dec(k2To128);
  EXPECT_EQ((big * big).toDecimal(),
            "115792089237316195423570985008687907853269984665640564039457584007913129639936");
  EXPECT_EQ((BigInt(5) - big).toDecimal(), "-340282366920938463463374607431768211451");
  EXPECT_EQ(BigInt(LLONG_MIN).toDecimal(), "-9223372036854775808");
  EXPECT_FALSE((BigInt(-3) * BigInt(0)).isNegative());
  EXPECT_EQ(big.compare(big + BigInt(1)), -1);

  for (const char* text : {"", "-", "12a", "+5", " 5", "5 ", "--5", "0x10", "1.0"}) {
    EXPECT_FALSE(BigInt::fromDecimal(text).has_value()) << '"' << text << '"';
  }
  EXPECT_EQ(dec("007").toDecimal(), "7");
  EXPECT_FALSE(dec("-0").isNegative());
  EXPECT_EQ(dec("-" + std::string(k2To128)) + big, BigInt());

  EXPECT_TRUE(BigInt::fromBigEndian({}).isZero());
  EXPECT_TRUE(BigInt().toBigEndian().empty());
  EXPECT_EQ(BigInt::fromBigEndian({0x00, 0x01, 0x00}), BigInt(256));
  EXPECT_EQ(BigInt(-256).toBigEndian(), (Bytes{0x01, 0x00}));  // magnitude only
  Bytes twoTo128(17, 0);
  twoTo128[0] = 0x01;
  EXPECT_EQ(big.toBigEndian(), twoTo128);
  EXPECT_EQ(BigInt::fromBigEndian(twoTo128), big);

  BigInt copy = big;
  copy = copy + BigInt(1);
  EXPECT_EQ(big.toDecimal(), k2To128);
  BigInt moved = std::move(copy);
  EXPECT_EQ(moved, big + BigInt(1));
  EXPECT_TRUE(copy.isZero());  // NOLINT(bugprone-use-after-move): a moved-from value reads as zero
}

TEST(BigInt, PowModGcdInverseAndRandom) {
  const std::array<long long, 4> cases[] = {
      {4, 13, 497, 445},  // odd modulus
      {3, 5, 8, 3},       // even modulus
      {-2, 3, 5, 2},      // negative base: (-8) mod 5
      {3, -2, 11, 5},     // negative exponent: inverse
      {5, 3, -7, 6},      // the modulus' sign does not matter
      {5, 3, 1, 0},
  };
  for (const auto& [base, exponent, modulus, expected] : cases) {
    EXPECT_EQ(BigInt(base).powMod(BigInt(exponent), BigInt(modulus)), BigInt(expected))
        << base << "^" << exponent << " mod " << modulus;
  }
  const BigInt prime = dec("170141183460469231731687303715884105727");  // 2^127 - 1
  EXPECT_EQ(dec("123456789123456789").powMod(prime - BigInt(1), prime), BigInt(1));
  EXPECT_THROW(BigInt(2).powMod(BigInt(3), BigInt(0)), std::domain_error);
  EXPECT_THROW(BigInt(2).powMod(BigInt(-1), BigInt(4)), std::domain_error);

  EXPECT_EQ(BigInt(12).gcd(BigInt(-18)), BigInt(6));
  EXPECT_EQ(BigInt(0).gcd(BigInt(0)), BigInt(0));
  EXPECT_EQ(BigInt(-3).inverseMod(BigInt(11)), BigInt(7));
  EXPECT_EQ(BigInt(14).inverseMod(BigInt(-11)), BigInt(4));
  EXPECT_FALSE(BigInt(6).inverseMod(BigInt(9)).has_value());
  EXPECT_FALSE(BigInt(3).inverseMod(BigInt(0)).has_value());
  EXPECT_EQ(ERR_peek_error(), 0u) << "a missing inverse must not leave errors behind";

  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const BigInt r = BigInt::randomBelow(BigInt(1000));
    EXPECT_TRUE(!r.isNegative() && r < BigInt(1000)) << r.toDecimal();
    seen.insert(r.toDecimal());
  }
  EXPECT_GT(seen.size(), 1u);
  EXPECT_TRUE(BigInt::randomBelow(BigInt(1)).isZero());
  EXPECT_THROW(BigInt::randomBelow(BigInt(0)), std::domain_error);
}

}  // namespace
}  // namespace velqo::platform::crypto
