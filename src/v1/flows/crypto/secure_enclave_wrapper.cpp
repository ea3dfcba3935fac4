#include "v1/flows/crypto/secure_enclave_wrapper.hpp"

#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "velqo/core/debug_sink.hpp"
#include "velqo/core/velqo_v1_crypto.hpp"
#include "velqo/platform/queue.hpp"

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

// Secrets agreed for a sign-in start's credential lookup or for a device set up, kept for the
// device challenge that comes next in the same flow, so a sign-in agrees each secret once
// rather than twice. A kept secret lives from the lookup or setup to that challenge: one round
// trip, a few with re-sends. It is handed out once and wiped; it is dropped (wiped) when the
// credential is set up anew or deleted, and in any case about 30 seconds after it was agreed
// (a flow whose next answer asks for no challenge): one sweep at a time, process-wide, wipes
// what has expired. Only a recovery with the very same hardware key object (the key store
// hands out one object per unchanged stored key) and the same stored point may take it.
class KeptSecrets : public std::enable_shared_from_this<KeptSecrets> {
 public:
  static constexpr std::chrono::seconds kLifetime{30};

  ~KeptSecrets() {
    for (auto& [recordKey, entry] : entries_) wipe(entry.secret);
  }

  void keep(const std::string& recordKey, SecKeyRef key, const Bytes& point, const Bytes& secret) {
    bool watch = false;
    {
      std::lock_guard lock(mutex_);
      Entry& entry = entries_[recordKey];
      wipe(entry.secret);
      entry = Entry{std::move(key), point, secret, Clock::now() + kLifetime};
      watch = !swept_;
      swept_ = true;
    }
    if (watch) sweeper().watch(weak_from_this());
  }

  std::optional<Bytes> take(const std::string& recordKey, const SecKeyRef& key, const Bytes& point) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(recordKey);
    if (it == entries_.end()) return std::nullopt;
    Entry entry = std::move(it->second);
    entries_.erase(it);
    std::optional<Bytes> result;
    if (entry.key == key && entry.point == point && Clock::now() < entry.expires) result = entry.secret;
    wipe(entry.secret);
    return result;
  }

  void forget(const std::string& recordKey) {
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(recordKey); it != entries_.end()) {
      wipe(it->second.secret);
      entries_.erase(it);
    }
  }

  /// Wipes what has expired; true when something is left (else the sweeper lets go of it).
  bool dropExpired() {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->second.expires <= now) {
        wipe(it->second.secret);
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
    swept_ = !entries_.empty();
    return swept_;
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    SecKeyRef key;
    Bytes point;
    Bytes secret;
    Clock::time_point expires;
  };

  // The one delayed sweep of every store's kept secrets (one pending block, however many
  // stores keep secrets).
  class Sweeper {
   public:
    void watch(std::weak_ptr<KeptSecrets> kept) {
      std::lock_guard lock(mutex_);
      watched_.push_back(std::move(kept));
      scheduleLocked();
    }

   private:
    void scheduleLocked() {
      if (scheduled_) return;
      scheduled_ = true;
      platform::globalQueue(platform::QualityOfService::defaultQoS)->asyncAfter(kLifetime, [this] {
        sweep();
      });
    }
    void sweep() {
      std::vector<std::weak_ptr<KeptSecrets>> watched;
      {
        std::lock_guard lock(mutex_);
        watched.swap(watched_);
        scheduled_ = false;
      }
      std::vector<std::weak_ptr<KeptSecrets>> left;
      for (auto& weak : watched) {
        if (auto kept = weak.lock(); kept && kept->dropExpired()) left.push_back(std::move(weak));
      }
      std::lock_guard lock(mutex_);
      for (auto& weak : left) watched_.push_back(std::move(weak));
      if (!watched_.empty()) scheduleLocked();
    }

    std::mutex mutex_;
    std::vector<std::weak_ptr<KeptSecrets>> watched_;
    bool scheduled_ = false;
  };
  // Never destroyed: a sweep may be pending until the process ends.
  static Sweeper& sweeper() {
    static Sweeper* instance = new Sweeper;
    return *instance;
  }

  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  bool swept_ = false;  // the sweeper watches this store
};

VelqoV1SecureEnclaveWrapper::VelqoV1SecureEnclaveWrapper(std::string serviceName, bool useSecureEnclave)
    : serviceName_(std::move(serviceName)),
      useSecureEnclave_(useSecureEnclave),
      kept_(std::make_shared<KeptSecrets>()) {}

VelqoV1SecureEnclaveWrapper::~VelqoV1SecureEnclaveWrapper() = default;

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
  kept_->forget(recordKey);  // a new credential: a secret kept for the old one is of no use
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
    // The device challenge that follows a setup proves the new credential with this secret.
    kept_->keep(recordKey, std::move(privateKey), publicBytes, secret);
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
                                                const VelqoV1WrapMetadata& metadata, Keep keep) const {
  if (metadata.kind() == VelqoV1WrapMetadata::Kind::fallback) return metadata.value();
  if (!useSecureEnclave_) throw VelqoV1DeviceCryptoStoreError::secureEnclaveUnavailable();

  SecKeyRef privateKey = loadOrCreateKey(recordKey);
  if (std::optional<Bytes> kept = kept_->take(recordKey, privateKey, metadata.value()))
    return std::move(*kept);
  auto publicKey = platform::keys::createPublicKeyWithData(metadata.value());
  if (!publicKey) throw publicKey.error();
  if (!publicKey.value()) throw VelqoV1DeviceCryptoStoreError::corruptedRecord();
  Bytes secret = keyAgreement(privateKey, publicKey.value());
  if (keep == Keep::forNextUse) kept_->keep(recordKey, std::move(privateKey), metadata.value(), secret);
  return secret;
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
    kept_->forget(recordKey);
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
