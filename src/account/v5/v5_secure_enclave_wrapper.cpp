#include "account/v5/v5_secure_enclave_wrapper.hpp"

#include <string>

#include "account/v5/v5_credential_store.hpp"
#include "account/v5/v5_crypto.hpp"
#include "velqo/core/debug_sink.hpp"

namespace velqo {

namespace {

using platform::KeyExchangeAlgorithm;
using platform::KeyToken;
using platform::KeyType;
using platform::SecKeyRef;

constexpr std::size_t kSecretSize = 32;

V5CredentialStoreError unavailable() {
  return V5CredentialStoreError(V5CredentialStoreError::Case::secureEnclaveUnavailable);
}

}  // namespace

Bytes V5SecureEnclaveWrapper::keyTag(const std::string& userId) const {
  return bytesOf(serviceName_ + ".v5.se." + userId);
}

V5WrappedSecret V5SecureEnclaveWrapper::wrapSharedSecret(const std::string& userId) const {
  try {
    SecKeyRef privateKey = loadOrCreateKey(userId);
    // A software key, neither permanent nor stored: only its public half is kept.
    platform::KeyAttributes ephemeralAttributes;
    auto ephemeral = platform::keys::createRandomKey(ephemeralAttributes);
    if (!ephemeral || !ephemeral.value()) throw unavailable();
    SecKeyRef ephemeralPublic = platform::keys::copyPublicKey(ephemeral.value());
    if (!ephemeralPublic) throw unavailable();
    Bytes secret = keyAgreement(privateKey, ephemeralPublic);
    ScopedWipe wipeOnThrow(secret);
    auto point = platform::keys::copyExternalRepresentation(ephemeralPublic);
    if (!point) throw point.error();
    return V5WrappedSecret(Bytes(secret), V5WrapMetadata::secureEnclave(std::move(point).value()));
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    // Any hardware-key failure falls back to a software secret below.
  }
  Bytes secret = V5Crypto::randomBytes(kSecretSize);
  Bytes kept = secret;
  debugLog("[V5CredentialStore] Secure Enclave unavailable for user " + userId +
           ". Using software fallback shared secret.");
  return V5WrappedSecret(std::move(secret), V5WrapMetadata::fallback(std::move(kept)));
}

Bytes V5SecureEnclaveWrapper::unwrapSharedSecret(const V5WrapMetadata& metadata,
                                                 const std::string& userId) const {
  if (metadata.kind() == V5WrapMetadata::Kind::fallback) return metadata.value();
  SecKeyRef privateKey = loadOrCreateKey(userId);
  auto publicKey = platform::keys::createPublicKeyWithData(metadata.value());
  if (!publicKey) throw publicKey.error();
  if (!publicKey.value()) throw V5CredentialStoreError(V5CredentialStoreError::Case::corruptedSecrets);
  return keyAgreement(privateKey, publicKey.value());
}

void V5SecureEnclaveWrapper::deleteKey(const std::string& userId) const noexcept {
  // Callers learn nothing of the outcome; a key that stays behind still reaches a line.
  try {
    const platform::OSStatus status =
        platform::keys::deleteKey(keyTag(userId), KeyType::ecPrimeRandom, KeyToken::secureEnclave);
    if (status != platform::status::success && status != platform::status::itemNotFound) {
      debugLog("[V5CredentialStore] Could not delete the Secure Enclave key: status " +
               std::to_string(status));
    }
  } catch (...) {
    debugLog("[V5CredentialStore] Could not delete the Secure Enclave key: the key store is unavailable");
  }
}

SecKeyRef V5SecureEnclaveWrapper::loadOrCreateKey(const std::string& userId) const {
  const Bytes tag = keyTag(userId);
  SecKeyRef key;
  const platform::OSStatus found =
      platform::keys::copyMatchingKey(tag, KeyType::ecPrimeRandom, KeyToken::secureEnclave, key);
  if (found == platform::status::itemNotFound) {
    platform::KeyAttributes attributes;
    attributes.token = KeyToken::secureEnclave;
    attributes.permanent = true;
    attributes.applicationTag = tag;
    auto created = platform::keys::createRandomKey(attributes);
    if (!created) throw created.error();
    if (!created.value()) throw unavailable();
    return created.value();
  }
  if (found == platform::status::success && key && key->isPrivate()) return key;
  throw unavailable();
}

Bytes V5SecureEnclaveWrapper::keyAgreement(const SecKeyRef& privateKey, const SecKeyRef& publicKey) {
  auto result = platform::keys::copyKeyExchangeResult(
      privateKey, KeyExchangeAlgorithm::ecdhStandardX963SHA256, publicKey, kSecretSize);
  if (!result) throw result.error();
  return std::move(result).value();
}

}  // namespace velqo
