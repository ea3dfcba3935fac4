#include "account/v5/v5_crypto.hpp"

#include <algorithm>
#include <utility>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo {

namespace {

namespace pc = platform::crypto;

constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kKeySize = 32;
constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kEd25519KeySize = 32;

const char* describe(V5CryptoError::Case c) {
  using C = V5CryptoError::Case;
  switch (c) {
    case C::randomGenerationFailed:
      return "Secure random bytes could not be generated.";
    case C::nonceInitializationFailed:
      return "The AES-GCM nonce could not be initialised.";
    case C::encryptionFailed:
      return "The value could not be sealed.";
    case C::decryptionFailed:
      return "The sealed value could not be opened.";
    case C::invalidCiphertext:
      return "The sealed value is too short.";
    case C::invalidChallenge:
      return "The challenge is neither hexadecimal nor base64.";
    case C::signingFailed:
      return "The challenge could not be signed.";
    case C::invalidInfoString:
      return "The info string does not match.";
  }
  return "Unknown V5 crypto error.";
}

pc::ByteView aadView(const std::optional<Bytes>& additionalData) {
  return additionalData ? pc::view(*additionalData) : pc::ByteView();
}

}  // namespace

V5CryptoError::V5CryptoError(Case errorCase, std::int32_t status, std::string description)
    : PlatformError("V5CryptoError", static_cast<long>(errorCase), std::move(description)),
      case_(errorCase),
      status_(status) {}

V5CryptoError V5CryptoError::randomGenerationFailed(std::int32_t status) {
  return V5CryptoError(
      Case::randomGenerationFailed, status,
      std::string(describe(Case::randomGenerationFailed)) + " (status " + std::to_string(status) + ")");
}

V5CryptoError V5CryptoError::make(Case errorCase) {
  return V5CryptoError(errorCase, 0, describe(errorCase));
}

Bytes V5Crypto::randomBytes(std::size_t count) {
  Bytes out(count, 0);
  if (count == 0) return out;
  const int status = pc::randomBytes(out.data(), out.size());
  if (status != 0) {
    wipe(out);
    throw V5CryptoError::randomGenerationFailed(status);
  }
  return out;
}

Bytes V5Crypto::deriveKey(const Bytes& inputKeyMaterial, const Bytes& salt, std::string_view info) {
  return pc::hkdfSha256(pc::view(inputKeyMaterial), pc::view(salt), pc::view(info), kKeySize);
}

Bytes V5Crypto::deriveSK0(const Bytes& sharedSecret, const Bytes& salt) {
  return deriveKey(sharedSecret, salt, labelSK0);
}

Bytes V5Crypto::deriveSK2(const Bytes& sharedSecret, const Bytes& salt) {
  return deriveKey(sharedSecret, salt, labelSK2);
}

Bytes V5Crypto::deriveHDS(const Bytes& sharedSecret, const Bytes& salt) {
  return deriveKey(sharedSecret, salt, labelHDS);
}

Bytes V5Crypto::deriveSK1(const Bytes& sharedSecret, const Bytes& combinedPrs) {
  return deriveKey(sharedSecret, pc::sha256(pc::view(combinedPrs)), labelSK1);
}

Bytes V5Crypto::seal(const Bytes& key, const Bytes& plaintext, const std::optional<Bytes>& additionalData) {
  const Bytes nonce = randomBytes(kNonceSize);
  if (nonce.size() != kNonceSize) throw V5CryptoError::make(V5CryptoError::Case::nonceInitializationFailed);
  auto sealed = pc::aesGcmSeal(pc::view(key), pc::view(nonce), pc::view(plaintext), aadView(additionalData));
  if (!sealed || sealed->tag.size() != kTagSize)
    throw V5CryptoError::make(V5CryptoError::Case::encryptionFailed);
  Bytes blob;
  blob.reserve(kNonceSize + sealed->ciphertext.size() + kTagSize);
  blob.insert(blob.end(), nonce.begin(), nonce.end());
  blob.insert(blob.end(), sealed->ciphertext.begin(), sealed->ciphertext.end());
  blob.insert(blob.end(), sealed->tag.begin(), sealed->tag.end());
  return blob;
}

Bytes V5Crypto::open(const Bytes& key, const Bytes& sealed, const std::optional<Bytes>& additionalData) {
  if (sealed.size() < kNonceSize + kTagSize + 1)
    throw V5CryptoError::make(V5CryptoError::Case::invalidCiphertext);
  const pc::ByteView all = pc::view(sealed);
  auto plain = pc::aesGcmOpen(pc::view(key), all.first(kNonceSize),
                              all.subspan(kNonceSize, sealed.size() - kNonceSize - kTagSize),
                              all.last(kTagSize), aadView(additionalData));
  if (!plain) throw V5CryptoError::make(V5CryptoError::Case::decryptionFailed);
  return std::move(*plain);
}

Bytes V5Crypto::openCombinedSalt(const Bytes& sealed, const Bytes& key, const Bytes& expectedInfo) {
  Bytes plaintext = open(key, sealed);
  ScopedWipe wipePlaintext(plaintext);
  if (plaintext.size() < kSaltSize) throw V5CryptoError::make(V5CryptoError::Case::invalidCiphertext);
  if (!std::equal(plaintext.begin() + kSaltSize, plaintext.end(), expectedInfo.begin(), expectedInfo.end())) {
    throw V5CryptoError::make(V5CryptoError::Case::invalidInfoString);
  }
  return Bytes(plaintext.begin(), plaintext.begin() + kSaltSize);
}

V5Crypto::SignedChallenge V5Crypto::signChallenge(std::string_view challenge,
                                                  const std::optional<std::string>& context,
                                                  const Bytes& privateKey) {
  std::optional<Bytes> message = dataFromHex(challenge);
  if (!message) message = platform::base64Decode(challenge);
  if (!message) throw V5CryptoError::make(V5CryptoError::Case::invalidChallenge);
  if (privateKey.size() != kEd25519KeySize) throw V5CryptoError::make(V5CryptoError::Case::signingFailed);
  if (context && !context->empty()) message->insert(message->end(), context->begin(), context->end());
  auto signature = pc::ed25519Sign(pc::view(privateKey), pc::view(*message));
  if (!signature) throw V5CryptoError::make(V5CryptoError::Case::signingFailed);
  return SignedChallenge{platform::base64Encode(*signature), platform::base64Encode(*message)};
}

std::optional<Bytes> V5Crypto::dataFromHex(std::string_view text) {
  return platform::hexDecode(text);
}

}  // namespace velqo
