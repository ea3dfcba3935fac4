#include "v1/flows/crypto/secure_enclave_wrapper.hpp"

#include <array>
#include <optional>

#include "velqo/core/debug_sink.hpp"
#include "velqo/core/velqo_v1_crypto.hpp"

namespace velqo::detail {

namespace {

using platform::KeyExchangeAlgorithm;
using platform::KeyToken;
using platform::KeyType;
using platform::PlatformError;
using platform::SecKeyRef;

constexpr std::size_t kSecretSize = 32;
constexpr const char* kLogTag = "[V1DeviceCrypto] ";

struct KeyAgreementVariant {
  const char* name;
  KeyExchangeAlgorithm algorithm;
  std::optional<std::size_t> requestedSize;
};

// Tried in this order; only the first is expected to matter on a well-behaved platform, the
// others keep older or stricter key stores working.
const std::array<KeyAgreementVariant, 4>& keyAgreementVariants() {
  static const std::array<KeyAgreementVariant, 4> variants = {{
      {"standard_x963_sha256_with_size", KeyExchangeAlgorithm::ecdhStandardX963SHA256, kSecretSize},
      {"standard_x963_sha256_no_size", KeyExchangeAlgorithm::ecdhStandardX963SHA256, std::nullopt},
      {"cofactor_x963_sha256_with_size", KeyExchangeAlgorithm::ecdhCofactorX963SHA256, kSecretSize},
      {"cofactor_x963_sha256_no_size", KeyExchangeAlgorithm::ecdhCofactorX963SHA256, std::nullopt},
  }};
  return variants;
}

// 32 random bytes for a fallback secret; failures raise the crypto suite's error.
VelqoV1SharedSecret fallbackSecret() {
  Bytes secret = VelqoV1Crypto::randomBytes(kSecretSize);
  Bytes peer = secret;
  auto metadata = VelqoV1WrapMetadata::fallback(secret);
  return VelqoV1SharedSecret(std::move(secret), std::move(metadata), std::move(peer));
}

}  // namespace

platform::PlatformError asPlatformError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const PlatformError& e) {
    return e;
  } catch (const std::exception& e) {
    return PlatformError("VelqoUnknownErrorDomain", 0, e.what());
  } catch (...) {
    return PlatformError("VelqoUnknownErrorDomain", 0, "Unknown error");
  }
}

Bytes VelqoV1SecureEnclaveWrapper::keyTag(const std::string& recordKey) const {
  return bytesOf(serviceName_ + ".v1.uak." + recordKey);
}

VelqoV1SharedSecret VelqoV1SecureEnclaveWrapper::createSharedSecret(const std::string& recordKey) const {
  if (!useSecureEnclave_) return fallbackSecret();

  std::exception_ptr failure;
  try {
    SecKeyRef privateKey = loadOrCreateKey(recordKey);

    // A software key, neither permanent nor stored: only its public half is kept.
    platform::KeyAttributes ephemeralAttributes;
    ephemeralAttributes.keyType = KeyType::ecPrimeRandom;
    ephemeralAttributes.sizeInBits = 256;
    auto ephemeral = platform::keys::createRandomKey(ephemeralAttributes);
    if (!ephemeral) throw ephemeral.error();

    SecKeyRef ephemeralPublic = platform::keys::copyPublicKey(ephemeral.value());
    if (!ephemeralPublic) throw VelqoV1DeviceCryptoStoreError::secureEnclaveUnavailable();

    Bytes secret = keyAgreement(privateKey, ephemeralPublic);
    ScopedWipe wipeOnThrow(secret);
    Bytes publicBytes = exportPublicKey(ephemeralPublic);
    auto metadata = VelqoV1WrapMetadata::secureEnclave(publicBytes);
    return VelqoV1SharedSecret(std::move(secret), std::move(metadata), std::move(publicBytes));
  } catch (...) {
    failure = std::current_exception();
  }

  if (allowsFallback(failure)) {
    VelqoV1SharedSecret result = fallbackSecret();
    debugLog(std::string(kLogTag) +
             "Secure Enclave unavailable. Using fallback secret. reason=" + errorDescription(failure));
    return result;
  }
  debugLog(std::string(kLogTag) +
           "Secure Enclave operation failed without fallback: " + errorDescription(failure));
  std::rethrow_exception(failure);
}

Bytes VelqoV1SecureEnclaveWrapper::sharedSecret(const std::string& recordKey,
                                                const VelqoV1WrapMetadata& metadata) const {
  if (metadata.kind() == VelqoV1WrapMetadata::Kind::fallback) return metadata.value();
  if (!useSecureEnclave_) throw VelqoV1DeviceCryptoStoreError::secureEnclaveUnavailable();

  SecKeyRef privateKey = loadOrCreateKey(recordKey);
  auto publicKey = platform::keys::createPublicKeyWithData(metadata.value());
  if (!publicKey) throw publicKey.error();
  if (!publicKey.value()) throw VelqoV1DeviceCryptoStoreError::corruptedRecord();
  return keyAgreement(privateKey, publicKey.value());
}

SecKeyRef VelqoV1SecureEnclaveWrapper::loadOrCreateKey(const std::string& recordKey) const {
  const Bytes tag = keyTag(recordKey);
  SecKeyRef key;
  const platform::OSStatus found =
      platform::keys::copyMatchingKey(tag, KeyType::ecPrimeRandom, KeyToken::secureEnclave, key);
  if (found == platform::status::itemNotFound) {
    try {
      return createKey(tag);
    } catch (const PlatformError& e) {
      // Another process sharing the item store created the key meanwhile: use that one, so
      // both end with credentials of the same key.
      if (e.domain() != platform::domain::osStatus || e.code() != platform::status::duplicateItem) throw;
    }
    if (platform::keys::copyMatchingKey(tag, KeyType::ecPrimeRandom, KeyToken::secureEnclave, key) ==
            platform::status::success &&
        key) {
      return key;
    }
  }
  if (found == platform::status::success && key) return key;
  throw VelqoV1DeviceCryptoStoreError::secureEnclaveUnavailable();
}

SecKeyRef VelqoV1SecureEnclaveWrapper::createKey(const Bytes& tag) const {
  platform::KeyAttributes attributes;
  attributes.keyType = KeyType::ecPrimeRandom;
  attributes.sizeInBits = 256;
  attributes.token = KeyToken::secureEnclave;
  attributes.permanent = true;
  attributes.applicationTag = tag;
  attributes.accessibility = platform::Accessibility::whenUnlockedThisDeviceOnly;
  auto created = platform::keys::createRandomKey(attributes);
  if (!created) throw created.error();
  if (!created.value()) throw VelqoV1DeviceCryptoStoreError::secureEnclaveUnavailable();
  return created.value();
}

void VelqoV1SecureEnclaveWrapper::deleteKey(const std::string& recordKey) const noexcept {
  try {
    (void)platform::keys::deleteKey(keyTag(recordKey), KeyType::ecPrimeRandom, KeyToken::secureEnclave);
  } catch (...) {
    // The status of the removal is ignored, and so is a store that throws.
  }
}

Bytes VelqoV1SecureEnclaveWrapper::exportPublicKey(const SecKeyRef& key) const {
  auto exported = platform::keys::copyExternalRepresentation(key);
  if (!exported) throw exported.error();
  return std::move(exported).value();
}

Bytes VelqoV1SecureEnclaveWrapper::keyAgreement(const SecKeyRef& privateKey,
                                                const SecKeyRef& publicKey) const {
  std::optional<PlatformError> lastError;
  bool first = true;
  for (const auto& variant : keyAgreementVariants()) {
    const bool isFirst = first;
    first = false;
    if (!platform::keys::isAlgorithmSupported(privateKey, variant.algorithm) ||
        !platform::keys::isAlgorithmSupported(publicKey, variant.algorithm)) {
      continue;
    }
    auto result = platform::keys::copyKeyExchangeResult(privateKey, variant.algorithm, publicKey,
                                                        variant.requestedSize);
    if (result) {
      if (!isFirst) {
        debugLog(std::string(kLogTag) + "Key agreement succeeded with compatibility path " + variant.name +
                 ".");
      }
      return std::move(result).value();
    }
    lastError = result.error();
    debugLog(std::string(kLogTag) + "Key agreement failed (" + variant.name +
             "): " + errorDescription(std::make_exception_ptr(result.error())));
  }
  if (lastError) throw *lastError;
  throw VelqoV1DeviceCryptoStoreError::secureEnclaveUnavailable();
}

bool VelqoV1SecureEnclaveWrapper::allowsFallback(const std::exception_ptr& error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const VelqoV1DeviceCryptoStoreError& e) {
    return e.errorCase() == VelqoV1DeviceCryptoStoreError::Case::secureEnclaveUnavailable;
  } catch (const PlatformError& e) {
    return e.domain() == platform::domain::osStatus &&
           (e.code() == platform::status::notAvailable || e.code() == platform::status::unimplemented);
  } catch (...) {
    return false;
  }
}

std::string VelqoV1SecureEnclaveWrapper::errorDescription(const std::exception_ptr& error) {
  const PlatformError e = asPlatformError(error);
  std::string text =
      "domain=" + e.domain() + " code=" + std::to_string(e.code()) + " message=" + e.localizedDescription();
  if (e.domain() == platform::domain::osStatus) {
    const std::string message = platform::statusMessage(static_cast<platform::OSStatus>(e.code()));
    if (!message.empty()) text += " secMessage=" + message;
  }
  return text;
}

}  // namespace velqo::detail
