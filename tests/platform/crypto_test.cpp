#include "platform/crypto.hpp"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <stdexcept>
#include <string>

#include "platform/encoding.hpp"

namespace velqo::platform::crypto {
namespace {

Bytes hex(std::string_view text) {
  return hexDecode(text).value();
}

TEST(CryptoDigest, Sha256MatchesPublishedDigests) {
  EXPECT_EQ(sha256Hex(view(std::string_view(""))),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256(view(std::string_view("abc"))),
            hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

TEST(CryptoRandom, FillsAndDiffers) {
  const Bytes a = randomBytes(32);
  const Bytes b = randomBytes(32);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  EXPECT_EQ(randomBytes(nullptr, 0), 0);
  EXPECT_TRUE(randomBytes(0).empty());
}

TEST(CryptoHkdf, Rfc5869Cases) {
  const Bytes ikm(22, 0x0b);
  // Case 1: salt and info present.
  EXPECT_EQ(
      hkdfSha256(view(ikm), view(hex("000102030405060708090a0b0c")), view(hex("f0f1f2f3f4f5f6f7f8f9")), 42),
      hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"));
  // Case 3: empty salt and info are left out (zero salt, no info).
  EXPECT_EQ(hkdfSha256(view(ikm), {}, {}, 42),
            hex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"));
}

TEST(CryptoHkdf, EdgeLengthsAndEmptyKeyMaterial) {
  EXPECT_EQ(hkdfSha256({}, view(std::string_view("salt")), view(std::string_view("info")), 32),
            hex("7aac7b8120501c2c8e1ee50e6cde135361e99ceb9d8d406ac528b9e9175614c0"));
  EXPECT_TRUE(hkdfSha256(view(Bytes(32, 1)), {}, {}, 0).empty());
  EXPECT_EQ(hkdfSha256(view(Bytes(32, 1)), {}, {}, 255 * 32).size(), 255u * 32u);
  EXPECT_THROW(hkdfSha256(view(Bytes(32, 1)), {}, {}, 255 * 32 + 1), std::invalid_argument);
}

struct GcmVector {
  const char* name;
  const char* key;
  const char* nonce;
  const char* plaintext;
  const char* aad;
  const char* ciphertext;
  const char* tag;
};

constexpr const char* kGcmKey = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308";
constexpr const char* kGcmPlain =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e24"
    "49a6b525b16aedf5aa0de657ba637b391aafd255";
constexpr const char* kGcmCipher =
    "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b10"
    "56828838c5f61e6393ba7a0abcc9f662898015ad";

// McGrew-Viega GCM test cases 13 (empty), 14, 15 (no AAD) and 16 (AAD, 60-byte plaintext).
const GcmVector kGcmVectors[] = {
    {"case13", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"case14", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "00000000000000000000000000000000", "", "cea7403d4d606b6e074ec5d3baf39d18",
     "d0d1c8a799996bf0265b98b5d48ab919"},
    {"case15", kGcmKey, "cafebabefacedbaddecaf888", kGcmPlain, "", kGcmCipher,
     "b094dac5d93471bdec1a502270e3cc6c"},
    {"case16", kGcmKey, "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a31"
     "8a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39",
     "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555"
     "d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
};

TEST(CryptoAesGcm, PublishedVectorsSealAndOpen) {
  for (const GcmVector& v : kGcmVectors) {
    SCOPED_TRACE(v.name);
    const Bytes plaintext = hex(v.plaintext), ciphertext = hex(v.ciphertext);
    const Bytes key = hex(v.key), nonce = hex(v.nonce), aad = hex(v.aad), tag = hex(v.tag);
    const auto sealed = aesGcmSeal(view(key), view(nonce), view(plaintext), view(aad));
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(sealed->ciphertext, ciphertext);
    EXPECT_EQ(sealed->tag, tag);
    EXPECT_EQ(aesGcmOpen(view(key), view(nonce), view(ciphertext), view(tag), view(aad)), plaintext);
  }
}

TEST(CryptoAesGcm, RejectsTamperingAndBadSizes) {
  const Bytes key = hex(kGcmKey), nonce = hex("cafebabefacedbaddecaf888");
  const Bytes plaintext = bytesOf("secret payload of the device"), aad = bytesOf("aad");
  const GcmSealed sealed = aesGcmSeal(view(key), view(nonce), view(plaintext), view(aad)).value();
  ASSERT_EQ(aesGcmOpen(view(key), view(nonce), view(sealed.ciphertext), view(sealed.tag), view(aad)),
            plaintext);

  Bytes badTag = sealed.tag;
  badTag[15] ^= 0x01;
  Bytes badCipher = sealed.ciphertext;
  badCipher[0] ^= 0x80;
  const Bytes shortTag(sealed.tag.begin(), sealed.tag.end() - 1);
  Bytes otherKey = key;
  otherKey[0] ^= 1;
  EXPECT_FALSE(aesGcmOpen(view(key), view(nonce), view(sealed.ciphertext), view(badTag), view(aad)));
  EXPECT_FALSE(aesGcmOpen(view(key), view(nonce), view(badCipher), view(sealed.tag), view(aad)));
  EXPECT_FALSE(aesGcmOpen(view(key), view(nonce), view(sealed.ciphertext), view(shortTag), view(aad)));
  EXPECT_FALSE(aesGcmOpen(view(key), view(nonce), view(sealed.ciphertext), view(sealed.tag), {}));
  EXPECT_FALSE(aesGcmOpen(view(otherKey), view(nonce), view(sealed.ciphertext), view(sealed.tag), view(aad)));
  // A one-byte prefix of the right tag would pass a lax check.
  EXPECT_FALSE(
      aesGcmOpen(view(key), view(nonce), view(sealed.ciphertext), ByteView(sealed.tag.data(), 1), view(aad)));

  const Bytes shortKey(16, 0), longNonce(16, 0);
  EXPECT_FALSE(aesGcmSeal(view(shortKey), view(nonce), view(plaintext)));
  EXPECT_FALSE(aesGcmSeal(view(key), view(longNonce), view(plaintext)));
  EXPECT_FALSE(aesGcmOpen(view(shortKey), view(nonce), view(sealed.ciphertext), view(sealed.tag)));
  EXPECT_FALSE(aesGcmOpen(view(key), view(longNonce), view(sealed.ciphertext), view(sealed.tag)));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

struct Ed25519Vector {
  const char* seed;
  const char* publicKey;
  const char* message;
  const char* signature;
};

// RFC 8032 section 7.1, tests 1 to 3.
const Ed25519Vector kEd25519Vectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f"
     "0595bb"
     "e24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2ea"
     "eb43"
     "02aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e"
     "9716ed"
     "28dc027beceea1ec40a"},
};

TEST(CryptoEd25519, Rfc8032Vectors) {
  for (const Ed25519Vector& v : kEd25519Vectors) {
    SCOPED_TRACE(v.publicKey);
    const Bytes seed = hex(v.seed), publicKey = hex(v.publicKey), message = hex(v.message);
    const Bytes signature = hex(v.signature);
    EXPECT_EQ(ed25519PublicKey(view(seed)), publicKey);
    EXPECT_EQ(ed25519Sign(view(seed), view(message)), signature);
    EXPECT_TRUE(ed25519Verify(view(publicKey), view(message), view(signature)));

    Bytes flipped = signature;
    flipped[10] ^= 0x04;
    EXPECT_FALSE(ed25519Verify(view(publicKey), view(message), view(flipped)));
    EXPECT_FALSE(ed25519Verify(view(publicKey), view(bytesOf("other")), view(signature)));
    EXPECT_FALSE(ed25519Verify(view(publicKey), view(message), ByteView(signature.data(), 63)));
  }
}

TEST(CryptoEd25519, RefusesWrongKeySizes) {
  const Bytes shortSeed(31, 7);
  EXPECT_FALSE(ed25519PublicKey(view(shortSeed)));
  EXPECT_FALSE(ed25519Sign(view(shortSeed), view(bytesOf("m"))));
  EXPECT_FALSE(ed25519Verify(view(shortSeed), view(bytesOf("m")), view(Bytes(64, 0))));
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

struct EcdsaVector {
  EcCurve curve;
  const char* pem;
  const char* normal;
  const char* padded;
};

const EcdsaVector kEcdsaVectors[] = {
    {EcCurve::p256, kP256Pem,
     "ddc3b28d1eb3225b890648283798416077a198e9d25cb20ec56e15a25da755125eb5af4fb80b950e6425f5e0f216b18e5afea90"
     "cb70"
     "00d20a832201914148415",
     "0081e8a95292b26f8cac6c92456e161bcb8ae7b154d8180726b80e7b6551afd4eacc76a9d89bc109422b963d325831d2d76bc44"
     "6704"
     "8cdbe8c1238c27796e3a3"},
    {EcCurve::p384, kP384Pem,
     "3c8639ca061eee0e46a8fe20d05324c57d985998b7e99665ebca54d1393c29e0ac55dd07524394a5945dcf32103742444727922"
     "8a6a"
     "d98cdbfd560231aaa4f9f9986e618fc25c08ba2d054d15fd5d39e40bb08ceaaabd5a27e96a0c63eddc104",
     "000dbf97746c0b5dc0a40fc0505a6992f85f47b6df228b7ad16928768b8fa822fc674cfa0848f815ce881ead304b9e358d5ba12"
     "3633"
     "979077281d721273b3c1d139b479491c8a609ae6108013310739ecb50bb8c22decbd1c09db6690b66a3a7"},
    {EcCurve::p521, kP521Pem,
     "0126b32240d53700cb93081ccb6e6f2953d021e19499d3654be30aa54dfc9a6f21dc774a80cab23335e28e1b63b7c97cf1834bc"
     "6c7c"
     "f2cf860a2232c5a2348ab8bd701c53160dc84bdd185e218f2b84c37c5a2f4dc0e36d48d23014cfe9c9d3661952e25fcfd35c0d5"
     "8934"
     "baf547be9185384a84ef2a8efb65167c38f9ac27facf588662",
     "0004f7fa2a3ca67965863d697b59ce7691a8bfe1fdac6a57ff69bd390a81b356886a9cfc02b8d10a61513f5b6b0faca0b87e3df"
     "0893"
     "ae35a1c7d89c83f5bcb3f1da701e56893a011557965ee0d57138aa25579f8544baa94662838e975a4eca7a96abdeee855eddf46"
     "096f"
     "a060d87ac81dfbec0bd38aeedb6f65ed23c69181d85b67245a"},
};

TEST(CryptoEcdsa, VerifiesRawSignaturesPerCurve) {
  const Bytes message = bytesOf("header.payload");
  for (const EcdsaVector& v : kEcdsaVectors) {
    SCOPED_TRACE(static_cast<int>(v.curve));
    const Bytes normal = hex(v.normal), padded = hex(v.padded);
    EXPECT_EQ(ecdsaVerifyRaw(v.pem, v.curve, view(message), view(normal)), EcdsaVerifyResult::valid);
    EXPECT_EQ(ecdsaVerifyRaw(v.pem, v.curve, view(message), view(padded)), EcdsaVerifyResult::valid);

    Bytes flipped = normal;
    flipped[flipped.size() - 1] ^= 0x01;
    EXPECT_EQ(ecdsaVerifyRaw(v.pem, v.curve, view(message), view(flipped)),
              EcdsaVerifyResult::invalidSignature);
    EXPECT_EQ(ecdsaVerifyRaw(v.pem, v.curve, view(bytesOf("header.payloaD")), view(normal)),
              EcdsaVerifyResult::invalidSignature);
    // r = s = 0 and r = s = all ones (above the group order) are malformed, not valid.
    EXPECT_EQ(ecdsaVerifyRaw(v.pem, v.curve, view(message), view(Bytes(normal.size(), 0))),
              EcdsaVerifyResult::invalidSignature);
    EXPECT_EQ(ecdsaVerifyRaw(v.pem, v.curve, view(message), view(Bytes(normal.size(), 0xFF))),
              EcdsaVerifyResult::invalidSignature);
    EXPECT_EQ(ecdsaVerifyRaw(v.pem, v.curve, view(message), ByteView(normal.data(), normal.size() - 2)),
              EcdsaVerifyResult::badSignatureLength);
    Bytes longer = normal;
    longer.push_back(0);
    EXPECT_EQ(ecdsaVerifyRaw(v.pem, v.curve, view(message), view(longer)),
              EcdsaVerifyResult::badSignatureLength);
  }
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(CryptoEcdsa, RefusesForeignKeysAndCurves) {
  const Bytes message = bytesOf("header.payload");
  const Bytes p256Signature = hex(kEcdsaVectors[0].normal);
  EXPECT_EQ(ecdsaVerifyRaw(kP256Pem, EcCurve::p384, view(message), view(p256Signature)),
            EcdsaVerifyResult::curveMismatch);
  EXPECT_EQ(ecdsaVerifyRaw(kP521Pem, EcCurve::p256, view(message), view(p256Signature)),
            EcdsaVerifyResult::curveMismatch);
  EXPECT_EQ(ecdsaVerifyRaw(kRsaPem, EcCurve::p256, view(message), view(p256Signature)),
            EcdsaVerifyResult::badPublicKey);
  EXPECT_EQ(ecdsaVerifyRaw("not a key", EcCurve::p256, view(message), view(p256Signature)),
            EcdsaVerifyResult::badPublicKey);
  std::string relabelled = kP256Pem;
  relabelled.replace(relabelled.find("PUBLIC KEY"), 10, "CERTIFICATE");
  relabelled.replace(relabelled.rfind("PUBLIC KEY"), 10, "CERTIFICATE");
  EXPECT_EQ(ecdsaVerifyRaw(relabelled, EcCurve::p256, view(message), view(p256Signature)),
            EcdsaVerifyResult::badPublicKey);
  std::string damaged = kP256Pem;
  damaged[40] = damaged[40] == 'A' ? 'B' : 'A';
  EXPECT_NE(ecdsaVerifyRaw(damaged, EcCurve::p256, view(message), view(p256Signature)),
            EcdsaVerifyResult::valid);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
}  // namespace velqo::platform::crypto
