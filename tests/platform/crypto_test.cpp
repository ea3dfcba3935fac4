#include "platform/crypto.hpp"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <climits>
#include <set>
#include <stdexcept>
#include <string>

#include "platform/bigint.hpp"
#include "platform/encoding.hpp"

namespace velqo::platform::crypto {
namespace {

Bytes hex(std::string_view text) {
  return hexDecode(text).value();
}

TEST(CryptoDigestAndRandom, PublishedDigestsAndFreshRandomBytes) {
  EXPECT_EQ(sha256Hex(view(std::string_view(""))),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256(view(std::string_view("abc"))),
            hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(randomBytes(32).size(), 32u);
  EXPECT_NE(randomBytes(32), randomBytes(32));
  EXPECT_EQ(randomBytes(nullptr, 0), 0);
}

TEST(CryptoHkdf, Rfc5869CasesAndEdgeLengths) {
  const Bytes ikm(22, 0x0b);
  EXPECT_EQ(
      hkdfSha256(view(ikm), view(hex("000102030405060708090a0b0c")), view(hex("f0f1f2f3f4f5f6f7f8f9")), 42),
      hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"));
  // Empty salt and info are left out (zero salt, no info).
  EXPECT_EQ(hkdfSha256(view(ikm), {}, {}, 42),
            hex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"));
  EXPECT_EQ(hkdfSha256({}, view(std::string_view("salt")), view(std::string_view("info")), 32),
            hex("7aac7b8120501c2c8e1ee50e6cde135361e99ceb9d8d406ac528b9e9175614c0"));
  EXPECT_TRUE(hkdfSha256(view(ikm), {}, {}, 0).empty());
  EXPECT_EQ(hkdfSha256(view(ikm), {}, {}, 255 * 32).size(), 255u * 32u);
  EXPECT_THROW(hkdfSha256(view(ikm), {}, {}, 255 * 32 + 1), std::invalid_argument);
}

TEST(CryptoAesGcm, PublishedVectorsSealAndOpenAndTamperingIsRefused) {
  const Bytes key = hex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
  const Bytes nonce = hex("cafebabefacedbaddecaf888");
  // McGrew-Viega test cases 13 (all empty, zero key) and 16 (AAD, 60-byte plaintext).
  const std::vector<std::array<Bytes, 6>> vectors = {
      {Bytes(32, 0), Bytes(12, 0), {}, {}, {}, hex("530f8afbc74536b9a963b4f1c4cb738b")},
      {key, nonce,
       hex("d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b"
           "16aedf5aa0de657ba637b39"),
       hex("feedfacedeadbeeffeedfacedeadbeefabaddad2"),
       hex("522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c"
           "5f61e6393ba7a0abcc9f662"),
       hex("76fc6ece0f4e1768cddf8853bb2d551b")},
  };
  for (const auto& [k, n, plain, aad, cipher, tag] : vectors) {
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

TEST(CryptoEd25519, Rfc8032VectorAndRefusals) {
  // RFC 8032 section 7.1, test 2.
  const Bytes seed = hex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb");
  const Bytes publicKey = hex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
  const Bytes message = hex("72");
  const Bytes signature =
      hex("92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c38"
          "7b2eaeb4302aeeb00d291612bb0c00");
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
constexpr const char* kP256Pem = R"(-----BEGIN PUBLIC KEY-----
MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEGWftDCMYG/DUHRIGmNACCZ2Xuo13
SIYRnUZ0QKmwDo4/96ElnpfwZd9NtvdLDSMstJ/iOrL+rVA3Yqv/Hsm7Fw==
-----END PUBLIC KEY-----
)";
constexpr const char* kP384Pem = R"(-----BEGIN PUBLIC KEY-----
MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEaW2A742ZW8F/MfZ+iN4r4am05sbMA8w8
eojZCIztbveVmkOxgFTmjL8W5kryG0zLnpWdOOnmoGiT6CXATuUrhAroFISTf6I5
lcKq+VWw2QqRxDU5cuNxm/UiH2H9MVf0
-----END PUBLIC KEY-----
)";
constexpr const char* kP521Pem = R"(-----BEGIN PUBLIC KEY-----
MIGbMBAGByqGSM49AgEGBSuBBAAjA4GGAAQBS8Uru+8uVd8VzKoffGufTkMTC22P
YPXuU0gGm9UG0bg9CYvPVr7qVc/Z9erJMHRydT/UF13RfLlkb61z47pOiMgBtVTW
TQ8u/HyWZvgDmvjZyDxSBXt19JxWfhGqxekVfIXAyjTNfEZKhOZmoz+ALEU3liP/
YXVVj9OpplahIosOz8Y=
-----END PUBLIC KEY-----
)";
constexpr const char* kRsaPem = R"(-----BEGIN PUBLIC KEY-----
MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQCfAaCwB0zgCvm7gjWx9SiLQ4do
YreMzbynceNi0fCNgQREPEZztPxgFiue5sGMcJMFkrAOkzfyF5VV6AB/uDaVAvxB
r54LzcrYEYvZ5eADliKm/P/DienWJgzHIc5CERu8lruiLUfu/FaFvcbN0o3jTV6F
zYi0Z0t1fEgk/gc+4QIDAQAB
-----END PUBLIC KEY-----
)";

TEST(CryptoEcdsa, VerifiesRawSignaturesPerCurveAndRefusesMalformedOnes) {
  const struct {
    EcCurve curve;
    const char* pem;
    Bytes normal, padded;
  } vectors[] = {
      {EcCurve::p256, kP256Pem,
       hex("ddc3b28d1eb3225b890648283798416077a198e9d25cb20ec56e15a25da755125eb5af4fb80b950e6425f5e0f216b18e5"
           "afea90cb7000d20a832201914148415"),
       hex("0081e8a95292b26f8cac6c92456e161bcb8ae7b154d8180726b80e7b6551afd4eacc76a9d89bc109422b963d325831d2d"
           "76bc4467048cdbe8c1238c27796e3a3")},
      {EcCurve::p384, kP384Pem,
       hex("3c8639ca061eee0e46a8fe20d05324c57d985998b7e99665ebca54d1393c29e0ac55dd07524394a5945dcf32103742444"
           "7279228a6ad98cdbfd560231aaa4f9f9986e618fc25c08ba2d054d15fd5d39e40bb08ceaaabd5a27e96a0c63eddc104"),
       hex("000dbf97746c0b5dc0a40fc0505a6992f85f47b6df228b7ad16928768b8fa822fc674cfa0848f815ce881ead304b9e358"
           "d5ba123633979077281d721273b3c1d139b479491c8a609ae6108013310739ecb50bb8c22decbd1c09db6690b66a3a"
           "7")},
      {EcCurve::p521, kP521Pem,
       hex("0126b32240d53700cb93081ccb6e6f2953d021e19499d3654be30aa54dfc9a6f21dc774a80cab23335e28e1b63b7c97cf"
           "1834bc6c7cf2cf860a2232c5a2348ab8bd701c53160dc84bdd185e218f2b84c37c5a2f4dc0e36d48d23014cfe9c9d3661"
           "952e25fcfd35c0d58934baf547be9185384a84ef2a8efb65167c38f9ac27facf588662"),
       hex("0004f7fa2a3ca67965863d697b59ce7691a8bfe1fdac6a57ff69bd390a81b356886a9cfc02b8d10a61513f5b6b0faca0b"
           "87e3df0893ae35a1c7d89c83f5bcb3f1da701e56893a011557965ee0d57138aa25579f8544baa94662838e975a4eca7a9"
           "6abdeee855eddf46096fa060d87ac81dfbec0bd38aeedb6f65ed23c69181d85b67245a")},
  };
  const Bytes message = bytesOf("header.payload");
  for (const auto& v : vectors) {
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

  const Bytes p256Signature = vectors[0].normal;
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
