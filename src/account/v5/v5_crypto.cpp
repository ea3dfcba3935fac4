#include "account/v5/v5_crypto.hpp"

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
using Case = V5CryptoError::Case;

constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kEd25519KeySize = 32;

// One text per case, in the order of the cases.
constexpr auto kDescriptions = std::to_array<std::string_view>({
    common::randomGenerationFailed,
    common::nonceInitializationFailed,
    "The value could not be sealed.",
    "The sealed value could not be opened.",
    "The sealed value is too short.",
    "The challenge is neither hexadecimal nor base64.",
    common::signingFailed,
    common::invalidInfoString,
});
static_assert(kDescriptions.size() == static_cast<std::size_t>(Case::invalidInfoString) + 1);

// The case's text, followed by the generator's status when there is one.
std::string describe(Case c, std::optional<std::int32_t> generatorStatus) {
  const std::string_view text = detail::describeCase(kDescriptions, c, "Unknown V5 crypto error.");
  return generatorStatus ? detail::withGeneratorStatus(text, *generatorStatus) : std::string(text);
}

pc::ByteView aadView(const std::optional<Bytes>& additionalData) {
  return additionalData ? pc::view(*additionalData) : pc::ByteView();
}

}  // namespace

V5CryptoError::V5CryptoError(Case errorCase, std::optional<std::int32_t> generatorStatus)
    : PlatformError("V5CryptoError", static_cast<long>(errorCase), describe(errorCase, generatorStatus)),
      case_(errorCase),
      status_(generatorStatus.value_or(0)) {}

V5CryptoError V5CryptoError::randomGenerationFailed(std::int32_t status) {
  return V5CryptoError(Case::randomGenerationFailed, status);
}

V5CryptoError V5CryptoError::make(Case errorCase) {
  return V5CryptoError(errorCase, std::nullopt);
}

Bytes V5Crypto::seal(const Bytes& key, const Bytes& plaintext, const std::optional<Bytes>& additionalData) {
  const Bytes nonce = randomBytes(pc::gcmNonceSize);
  std::optional<Bytes> blob =
      pc::aesGcmSealCombined(pc::view(key), pc::view(nonce), pc::view(plaintext), aadView(additionalData));
  if (!blob) throw V5CryptoError::make(Case::encryptionFailed);
  return std::move(*blob);
}

Bytes V5Crypto::open(const Bytes& key, const Bytes& sealed, const std::optional<Bytes>& additionalData) {
  if (sealed.size() < pc::gcmNonceSize + pc::gcmTagSize + 1)
    throw V5CryptoError::make(Case::invalidCiphertext);
  std::optional<Bytes> plain =
      pc::aesGcmOpenCombined(pc::view(key), pc::view(sealed), aadView(additionalData));
  if (!plain) throw V5CryptoError::make(Case::decryptionFailed);
  return std::move(*plain);
}

Bytes V5Crypto::openCombinedSalt(const Bytes& sealed, const Bytes& key, const Bytes& expectedInfo) {
  Bytes plaintext = open(key, sealed);
  ScopedWipe wipePlaintext(plaintext);
  if (plaintext.size() < kSaltSize) throw V5CryptoError::make(Case::invalidCiphertext);
  if (!std::equal(plaintext.begin() + kSaltSize, plaintext.end(), expectedInfo.begin(), expectedInfo.end())) {
    throw V5CryptoError::make(Case::invalidInfoString);
  }
  return Bytes(plaintext.begin(), plaintext.begin() + kSaltSize);
}

V5Crypto::SignedChallenge V5Crypto::signChallenge(std::string_view challenge,
                                                  const std::optional<std::string>& context,
                                                  const Bytes& privateKey) {
  std::optional<Bytes> message = dataFromHex(challenge);
  if (!message) message = platform::base64Decode(challenge);
  if (!message) throw V5CryptoError::make(Case::invalidChallenge);
  if (privateKey.size() != kEd25519KeySize) throw V5CryptoError::make(Case::signingFailed);
  if (context && !context->empty()) message->insert(message->end(), context->begin(), context->end());
  auto signature = pc::ed25519Sign(pc::view(privateKey), pc::view(*message));
  if (!signature) throw V5CryptoError::make(Case::signingFailed);
  return SignedChallenge{platform::base64Encode(*signature), platform::base64Encode(*message)};
}

std::optional<Bytes> V5Crypto::dataFromHex(std::string_view text) {
  return platform::hexDecode(text);
}

}  // namespace velqo
