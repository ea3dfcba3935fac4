#include "velqo/core/velqo_v1_crypto.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "core/crypto/credential_crypto.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo {

namespace {

namespace pc = platform::crypto;
namespace common = detail::credential_crypto_text;

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kSaltSize = 32;

constexpr detail::LabelledKeySchedule kSchedule({"Symmetrickey0", "Symmetrickey1", "Symmetrickey2", "HDS"});

using Case = VelqoV1CryptoError::Case;

// One text per case, in the order of the cases.
constexpr auto kDescriptions = std::to_array<std::string_view>({
    common::randomGenerationFailed,
    common::nonceInitializationFailed,
    "The value could not be encrypted.",
    "The value could not be decrypted.",
    "The ciphertext is invalid.",
    "The challenge encoding is invalid.",
    "The challenge is invalid.",
    common::invalidInfoString,
    "The keyset is invalid.",
    common::signingFailed,
});
static_assert(kDescriptions.size() == static_cast<std::size_t>(Case::signingFailed) + 1);

std::string describe(Case c) {
  return std::string(detail::describeCase(kDescriptions, c, "Unknown device-trust crypto error."));
}

void append(Bytes& out, const Bytes& part) {
  out.insert(out.end(), part.begin(), part.end());
}
void append(Bytes& out, std::string_view part) {
  out.insert(out.end(), part.begin(), part.end());
}

// The nonce to seal with: the caller's, or 12 fresh random bytes.
Bytes nonceFor(const std::optional<Bytes>& given) {
  if (given) {
    if (given->size() != pc::gcmNonceSize) throw VelqoV1CryptoError::nonceInitializationFailed();
    return *given;
  }
  return VelqoV1Crypto::randomBytes(pc::gcmNonceSize);
}

// nonce || ciphertext || tag of the plaintext under the key.
Bytes sealBlob(const Bytes& key, const std::optional<Bytes>& givenNonce, const Bytes& plaintext) {
  const Bytes nonce = nonceFor(givenNonce);
  std::optional<Bytes> blob = pc::aesGcmSealCombined(pc::view(key), pc::view(nonce), pc::view(plaintext));
  if (!blob) throw VelqoV1CryptoError::encryptionFailed();
  return std::move(*blob);
}

// Opens a nonce || ciphertext || tag blob (the caller has checked its size).
Bytes openBlob(const Bytes& key, const Bytes& blob) {
  std::optional<Bytes> plain = pc::aesGcmOpenCombined(pc::view(key), pc::view(blob));
  if (!plain) throw VelqoV1CryptoError::decryptionFailed();
  return std::move(*plain);
}

}  // namespace

// ---- VelqoV1CryptoError ----

VelqoV1CryptoError::VelqoV1CryptoError(Case errorCase, std::int32_t status, std::string description)
    : PlatformError("VelqoV1CryptoError", static_cast<long>(errorCase), std::move(description)),
      case_(errorCase),
      status_(status) {}

VelqoV1CryptoError VelqoV1CryptoError::randomGenerationFailed(std::int32_t status) {
  return VelqoV1CryptoError(Case::randomGenerationFailed, status,
                            detail::withGeneratorStatus(describe(Case::randomGenerationFailed), status));
}
VelqoV1CryptoError VelqoV1CryptoError::nonceInitializationFailed() {
  return VelqoV1CryptoError(Case::nonceInitializationFailed, 0, describe(Case::nonceInitializationFailed));
}
VelqoV1CryptoError VelqoV1CryptoError::encryptionFailed() {
  return VelqoV1CryptoError(Case::encryptionFailed, 0, describe(Case::encryptionFailed));
}
VelqoV1CryptoError VelqoV1CryptoError::decryptionFailed() {
  return VelqoV1CryptoError(Case::decryptionFailed, 0, describe(Case::decryptionFailed));
}
VelqoV1CryptoError VelqoV1CryptoError::invalidCiphertext() {
  return VelqoV1CryptoError(Case::invalidCiphertext, 0, describe(Case::invalidCiphertext));
}
VelqoV1CryptoError VelqoV1CryptoError::invalidChallengeEncoding() {
  return VelqoV1CryptoError(Case::invalidChallengeEncoding, 0, describe(Case::invalidChallengeEncoding));
}
VelqoV1CryptoError VelqoV1CryptoError::invalidChallenge() {
  return VelqoV1CryptoError(Case::invalidChallenge, 0, describe(Case::invalidChallenge));
}
VelqoV1CryptoError VelqoV1CryptoError::invalidInfoString() {
  return VelqoV1CryptoError(Case::invalidInfoString, 0, describe(Case::invalidInfoString));
}
VelqoV1CryptoError VelqoV1CryptoError::invalidKeyset() {
  return VelqoV1CryptoError(Case::invalidKeyset, 0, describe(Case::invalidKeyset));
}
VelqoV1CryptoError VelqoV1CryptoError::signingFailed() {
  return VelqoV1CryptoError(Case::signingFailed, 0, describe(Case::signingFailed));
}

// ---- VelqoV1Crypto ----

Bytes VelqoV1Crypto::randomBytes(std::size_t count) {
  return detail::randomBytesOrThrow<VelqoV1CryptoError>(count);
}

Bytes VelqoV1Crypto::sha256(const Bytes& data) {
  return pc::sha256(pc::view(data));
}

Bytes VelqoV1Crypto::deriveSK0(const Bytes& sharedSecret, const Bytes& salt0) {
  return kSchedule.sk0(sharedSecret, salt0);
}

Bytes VelqoV1Crypto::deriveSK2(const Bytes& sharedSecret, const Bytes& salt1) {
  return kSchedule.sk2(sharedSecret, salt1);
}

Bytes VelqoV1Crypto::deriveHDS(const Bytes& sharedSecret, const Bytes& salt2) {
  return kSchedule.hds(sharedSecret, salt2);
}

Bytes VelqoV1Crypto::deriveSK1(const Bytes& sharedSecret, const Bytes& combinedPrs) {
  return kSchedule.sk1(sharedSecret, combinedPrs);
}

VelqoV1Crypto::SealedPrivateKey VelqoV1Crypto::encryptCombinedPrs(const Bytes& privateKey, const Bytes& sk0,
                                                                  const std::optional<Bytes>& iv0) {
  // The combined form without its leading nonce, which is kept apart.
  Bytes blob = sealBlob(sk0, iv0, privateKey);
  SealedPrivateKey result;
  result.iv0.assign(blob.begin(), blob.begin() + pc::gcmNonceSize);
  result.combinedprs.assign(blob.begin() + pc::gcmNonceSize, blob.end());
  return result;
}

Bytes VelqoV1Crypto::encryptCombinedSalt(const Bytes& salt0, const Bytes& infoData, const Bytes& sk1,
                                         const std::optional<Bytes>& iv1) {
  Bytes plaintext;
  ScopedWipe wipePlaintext(plaintext);
  plaintext.reserve(salt0.size() + infoData.size());
  append(plaintext, salt0);
  append(plaintext, infoData);
  return sealBlob(sk1, iv1, plaintext);
}

Bytes VelqoV1Crypto::encryptKeyset(const Bytes& publicKey, const Bytes& combinedSalt, const Bytes& sk2,
                                   const std::optional<Bytes>& iv2) {
  Bytes plaintext;
  plaintext.reserve(publicKey.size() + combinedSalt.size());
  append(plaintext, publicKey);
  append(plaintext, combinedSalt);
  return sealBlob(sk2, iv2, plaintext);
}

Bytes VelqoV1Crypto::decryptCombinedPrs(const Bytes& combinedPrs, const Bytes& iv0, const Bytes& sk0) {
  if (combinedPrs.size() < pc::gcmTagSize + 1) throw VelqoV1CryptoError::invalidCiphertext();
  if (iv0.size() != pc::gcmNonceSize) throw VelqoV1CryptoError::nonceInitializationFailed();
  pc::ByteView all = pc::view(combinedPrs);
  std::optional<Bytes> plain = pc::aesGcmOpen(
      pc::view(sk0), pc::view(iv0), all.first(combinedPrs.size() - pc::gcmTagSize), all.last(pc::gcmTagSize));
  if (!plain) throw VelqoV1CryptoError::decryptionFailed();
  return std::move(*plain);
}

Bytes VelqoV1Crypto::decryptCombinedSalt(const Bytes& combinedSalt, const Bytes& sk1,
                                         const Bytes& expectedInfo) {
  if (combinedSalt.size() < pc::gcmNonceSize + pc::gcmTagSize + 1)
    throw VelqoV1CryptoError::invalidCiphertext();
  Bytes plaintext = openBlob(sk1, combinedSalt);
  ScopedWipe wipePlaintext(plaintext);
  if (plaintext.size() < kSaltSize) throw VelqoV1CryptoError::invalidCiphertext();
  const bool infoMatches =
      std::equal(plaintext.begin() + kSaltSize, plaintext.end(), expectedInfo.begin(), expectedInfo.end());
  if (!infoMatches) throw VelqoV1CryptoError::invalidInfoString();
  return Bytes(plaintext.begin(), plaintext.begin() + kSaltSize);
}

VelqoV1Crypto::OpenedKeyset VelqoV1Crypto::decryptKeyset(const Bytes& keyset, const Bytes& sk2) {
  if (keyset.size() < pc::gcmNonceSize + pc::gcmTagSize) throw VelqoV1CryptoError::invalidCiphertext();
  Bytes plaintext = openBlob(sk2, keyset);
  if (plaintext.size() < 33) throw VelqoV1CryptoError::invalidKeyset();
  OpenedKeyset result;
  result.publicKey.assign(plaintext.begin(), plaintext.begin() + 32);
  result.combinedSalt.assign(plaintext.begin() + 32, plaintext.end());
  return result;
}

Bytes VelqoV1Crypto::makeInfoString(std::string_view bui, std::string_view osType,
                                    std::string_view algorithm) {
  Bytes info;
  info.reserve(bui.size() + osType.size() + algorithm.size() + 2);
  append(info, bui);
  append(info, osType);
  append(info, algorithm);
  append(info, std::string_view("v1"));
  return info;
}

Bytes VelqoV1Crypto::computeDFP(const Bytes& hds, std::string_view bundleId, std::string_view osType) {
  Bytes input;
  ScopedWipe wipeInput(input);
  input.reserve(hds.size() + bundleId.size() + osType.size());
  append(input, hds);
  append(input, bundleId);
  append(input, osType);
  return sha256(input);
}

std::string VelqoV1Crypto::computeHI(const Bytes& salt1, const Bytes& salt2, const Bytes& sk2,
                                     const Bytes& combinedPrs, const Bytes& aPeer, const Bytes& sharedSecret,
                                     std::string_view userId, std::string_view domain, const Bytes& dfp) {
  Bytes input;
  ScopedWipe wipeInput(input);
  input.reserve(salt1.size() + salt2.size() + sk2.size() + combinedPrs.size() + aPeer.size() +
                sharedSecret.size() + userId.size() + domain.size() + dfp.size());
  append(input, salt1);
  append(input, salt2);
  append(input, sk2);
  append(input, combinedPrs);
  append(input, aPeer);
  append(input, sharedSecret);
  append(input, userId);
  append(input, domain);
  append(input, dfp);
  return platform::base64Encode(sha256(input));
}

VelqoV1Crypto::ChallengeSignature VelqoV1Crypto::signChallenge(std::string_view challenge,
                                                               std::string_view challengeEncoding,
                                                               std::string_view domain,
                                                               const Bytes& privateKeyData) {
  const std::string encoding = platform::toLowerAscii(challengeEncoding);
  Bytes message;
  if (encoding == "base64") {
    auto decoded = platform::base64Decode(challenge);
    if (!decoded) throw VelqoV1CryptoError::invalidChallenge();
    message = std::move(*decoded);
  } else if (encoding == "hex") {
    auto decoded = platform::hexDecode(challenge);
    if (!decoded) throw VelqoV1CryptoError::invalidChallengeEncoding();
    message = std::move(*decoded);
  } else {
    throw VelqoV1CryptoError::invalidChallengeEncoding();
  }
  if (privateKeyData.size() != kKeySize) throw VelqoV1CryptoError::signingFailed();
  append(message, domain);
  auto signature = pc::ed25519Sign(pc::view(privateKeyData), pc::view(message));
  if (!signature || signature->size() != 64) throw VelqoV1CryptoError::signingFailed();
  return ChallengeSignature{platform::base64Encode(*signature), platform::base64Encode(message)};
}

// ---- VelqoV1CryptoSuite ----

std::optional<std::string> VelqoV1CryptoSuite::canonicalAlgorithm(std::string_view algorithm) {
  const std::string trimmed = platform::trimWhitespace(algorithm);
  if (trimmed.empty()) return std::string(algorithmP256);
  std::string folded = platform::toLowerAscii(trimmed);
  std::erase(folded, ' ');
  static constexpr std::array<std::string_view, 5> kKnown = {"ed25519", "ecdhp-256+ed25519",
                                                             "ecdhp256+ed25519", "p-256", "p256"};
  const bool known = std::find(kKnown.begin(), kKnown.end(), folded) != kKnown.end();
  if (known || folded.find("p-256") != std::string::npos || folded.find("p256") != std::string::npos) {
    return std::string(algorithmP256);
  }
  return std::nullopt;
}

bool VelqoV1CryptoSuite::areCompatible(std::string_view a, std::string_view b) {
  const auto canonicalA = canonicalAlgorithm(a);
  const auto canonicalB = canonicalAlgorithm(b);
  if (canonicalA && canonicalB) return *canonicalA == *canonicalB;
  return platform::toLowerAscii(a) == platform::toLowerAscii(b);
}

}  // namespace velqo
