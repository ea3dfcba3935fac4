#include "velqo/v1/flows/device_crypto_service.hpp"

#include <map>
#include <mutex>
#include <optional>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "v1/flows/crypto/device_crypto_record_factory.hpp"
#include "v1/flows/crypto/secure_enclave_wrapper.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/core/velqo_v1_crypto.hpp"
#include "velqo/platform/clock.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo {

namespace {

constexpr const char* kLogTag = "[V1DeviceCrypto] ";
constexpr const char* kChallengeFailed = "Device challenge failed";
constexpr const char* kQrSigningFailed = "QR signing failed";
constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kEd25519SeedSize = 32;
constexpr std::int64_t kRecordVersion = 1;

using Code = VelqoV1DeviceCryptoError::Code;

// Values that differ per installation and enter the info string and the device fingerprint
// digest; a credential is usable only while both stay the same.
std::string bundleIdentifier() {
  auto identifier = platform::mainBundle().identifier;
  if (identifier && !identifier->empty()) return *identifier;
  return "unknown";
}

std::string osName() {
  return platform::currentDevice().systemName;
}

Code codeForCryptoFailure(const VelqoV1CryptoError& error) {
  switch (error.errorCase()) {
    case VelqoV1CryptoError::Case::decryptionFailed:
    case VelqoV1CryptoError::Case::invalidCiphertext:
      return Code::decryptionFailed;
    case VelqoV1CryptoError::Case::invalidChallengeEncoding:
    case VelqoV1CryptoError::Case::invalidChallenge:
      return Code::invalidChallenge;
    case VelqoV1CryptoError::Case::invalidInfoString:
      return Code::infoStringMismatch;
    case VelqoV1CryptoError::Case::randomGenerationFailed:
    case VelqoV1CryptoError::Case::nonceInitializationFailed:
    case VelqoV1CryptoError::Case::encryptionFailed:
    case VelqoV1CryptoError::Case::invalidKeyset:
    case VelqoV1CryptoError::Case::signingFailed:
      return Code::invalidSignature;
  }
  return Code::invalidSignature;
}

std::string describe(const std::exception_ptr& error) {
  return detail::asPlatformError(error).localizedDescription();
}

// Wipes every listed buffer when the scope ends.
class WipeAll {
 public:
  explicit WipeAll(std::initializer_list<Bytes*> buffers) : buffers_(buffers) {}
  WipeAll(const WipeAll&) = delete;
  WipeAll& operator=(const WipeAll&) = delete;
  ~WipeAll() {
    for (Bytes* buffer : buffers_) wipe(*buffer);
  }

 private:
  std::vector<Bytes*> buffers_;
};

}  // namespace

// Credentials set up by this service whose challenge has not been answered yet, by
// normalised identifier. Another process enrolling the same identifier on the same store
// may replace the stored record between the setup and the challenge; the challenge still
// belongs to the credential this service sent, and both credentials stay valid.
struct VelqoV1DeviceCryptoService::PendingSetups {
  std::mutex mutex;
  std::map<std::string, VelqoV1DeviceCryptoRecord> records;

  void put(const std::string& userId, const VelqoV1DeviceCryptoRecord& record) {
    std::lock_guard lock(mutex);
    records.insert_or_assign(userId, record);
  }
  std::optional<VelqoV1DeviceCryptoRecord> take(const std::string& userId) {
    std::lock_guard lock(mutex);
    auto found = records.find(userId);
    if (found == records.end()) return std::nullopt;
    std::optional<VelqoV1DeviceCryptoRecord> record(std::move(found->second));
    records.erase(found);
    return record;
  }
};

VelqoV1DeviceCryptoService::VelqoV1DeviceCryptoService(std::string projectId,
                                                       std::shared_ptr<VelqoV1DeviceCryptoStore> store)
    : projectId_(std::move(projectId)),
      store_(store ? std::move(store) : VelqoV1DeviceCryptoStore::create()),
      pending_(std::make_shared<PendingSetups>()) {}

std::shared_ptr<VelqoV1DeviceCryptoService> VelqoV1DeviceCryptoService::create(
    std::string projectId, std::shared_ptr<VelqoV1DeviceCryptoStore> store) {
  return std::shared_ptr<VelqoV1DeviceCryptoService>(
      new VelqoV1DeviceCryptoService(std::move(projectId), std::move(store)));
}

VelqoV1Action VelqoV1DeviceCryptoService::handleSetupDevice(const std::string& domain,
                                                            const std::string& algorithm,
                                                            const std::string& /*version*/,
                                                            const std::string& identifier) {
  const std::string userId = detail::normalizeIdentifier(identifier);
  if (userId.empty()) throw VelqoV1DeviceCryptoError::invalidIdentifier();

  const auto canonical = VelqoV1CryptoSuite::canonicalAlgorithm(
      algorithm.empty() ? std::string_view(VelqoV1CryptoSuite::algorithmP256) : std::string_view(algorithm));
  if (!canonical) throw VelqoV1DeviceCryptoError::unsupportedAlgorithm();

  const std::string& effectiveDomain = domain.empty() ? projectId_ : domain;
  const std::string bundleId = bundleIdentifier();
  const std::string os = osName();

  try {
    VelqoV1SharedSecret shared = store_->createSharedSecret(userId, projectId_);
    const Bytes& secret = shared.secret;

    Bytes salt0, salt1, salt2, sk0, sk1, sk2, hds, seed, dfp;
    WipeAll wipeSecrets{&salt0, &sk0, &sk1, &sk2, &hds, &seed, &dfp};
    salt0 = VelqoV1Crypto::randomBytes(kSaltSize);
    salt1 = VelqoV1Crypto::randomBytes(kSaltSize);
    salt2 = VelqoV1Crypto::randomBytes(kSaltSize);

    sk0 = VelqoV1Crypto::deriveSK0(secret, salt0);
    sk2 = VelqoV1Crypto::deriveSK2(secret, salt1);
    hds = VelqoV1Crypto::deriveHDS(secret, salt2);

    seed = VelqoV1Crypto::randomBytes(kEd25519SeedSize);
    std::optional<Bytes> publicKey = platform::crypto::ed25519PublicKey(platform::crypto::view(seed));
    if (!publicKey) throw VelqoV1CryptoError::signingFailed();
    VelqoV1Crypto::SealedPrivateKey sealed = VelqoV1Crypto::encryptCombinedPrs(seed, sk0);

    sk1 = VelqoV1Crypto::deriveSK1(secret, sealed.combinedprs);
    const Bytes info = VelqoV1Crypto::makeInfoString(bundleId, os, *canonical);
    Bytes combinedSalt = VelqoV1Crypto::encryptCombinedSalt(salt0, info, sk1);
    const Bytes keyset = VelqoV1Crypto::encryptKeyset(*publicKey, combinedSalt, sk2);

    dfp = VelqoV1Crypto::computeDFP(hds, bundleId, os);
    std::string hindex = VelqoV1Crypto::computeHI(salt1, salt2, sk2, sealed.combinedprs, shared.peerPublicKey,
                                                  secret, userId, effectiveDomain, dfp);
    std::string keysetText = platform::base64Encode(keyset);

    const VelqoV1DeviceCryptoRecord record = detail::VelqoV1DeviceCryptoRecordFactory::make(
        kRecordVersion, platform::nowSecondsSince1970(), userId, projectId_, *canonical, keysetText, hindex,
        salt1, salt2, std::move(combinedSalt), sealed.combinedprs, sealed.iv0, shared.metadata);
    store_->save(record);
    pending_->put(userId, record);

    return VelqoV1Action::requestChallenge(std::move(keysetText), std::move(hindex),
                                           platform::base64Encode(sk2));
  } catch (const VelqoV1DeviceCryptoError&) {
    throw;
  } catch (...) {
    debugLog(std::string(kLogTag) + "setup_device failed: " + describe(std::current_exception()));
    throw VelqoV1DeviceCryptoError::setupFailed();
  }
}

VelqoV1Action VelqoV1DeviceCryptoService::handleDeviceChallenge(
    const std::string& challenge, const std::string& challengeEncoding, const std::string& keyId,
    const std::string& algorithm, const std::string& domain, const std::string& combinedsalt,
    const std::string& responseEncoding, const std::string& identifier) {
  const std::string userId = detail::normalizeIdentifier(identifier);
  if (userId.empty()) throw VelqoV1DeviceCryptoError::invalidIdentifier();
  if (!responseEncoding.empty() && platform::toLowerAscii(responseEncoding) != "base64") {
    throw VelqoV1DeviceCryptoError::unsupportedResponseEncoding();
  }

  std::optional<VelqoV1DeviceCryptoRecord> justSetUp = pending_->take(userId);
  std::optional<VelqoV1DeviceCryptoRecord> record;
  try {
    record = store_->load(userId, projectId_);
  } catch (...) {
    record.reset();
  }
  // A stored credential of another enrollment (another process on the same store set one
  // up meanwhile) cannot answer the challenge for the one this service sent.
  if (record && justSetUp && record->hindex() != justSetUp->hindex()) record = std::move(justSetUp);
  if (!record) {
    store_->deleteRecord(userId, projectId_);
    throw VelqoV1DeviceCryptoError::deviceNotFound();
  }
  if (!algorithm.empty() && !VelqoV1CryptoSuite::areCompatible(record->algorithm(), algorithm)) {
    store_->deleteRecord(userId, projectId_);
    throw VelqoV1DeviceCryptoError::algorithmMismatch();
  }

  const std::string& effectiveDomain = domain.empty() ? projectId_ : domain;
  const std::string bundleId = bundleIdentifier();
  const std::string os = osName();

  try {
    Bytes secret, sk1, salt0, sk0, privateKey;
    WipeAll wipeSecrets{&secret, &sk1, &salt0, &sk0, &privateKey};
    secret = store_->sharedSecret(userId, projectId_, record->wrapMetadata());
    sk1 = VelqoV1Crypto::deriveSK1(secret, record->combinedprs());

    std::optional<Bytes> serverCombinedSalt = platform::base64Decode(combinedsalt);
    if (!serverCombinedSalt) {
      store_->deleteRecord(userId, projectId_);
      throw VelqoV1DeviceCryptoError::invalidCombinedSalt();
    }
    const Bytes expectedInfo = VelqoV1Crypto::makeInfoString(bundleId, os, record->algorithm());
    salt0 = VelqoV1Crypto::decryptCombinedSalt(*serverCombinedSalt, sk1, expectedInfo);
    sk0 = VelqoV1Crypto::deriveSK0(secret, salt0);
    privateKey = VelqoV1Crypto::decryptCombinedPrs(record->combinedprs(), record->iv0(), sk0);

    VelqoV1Crypto::ChallengeSignature signed_ =
        VelqoV1Crypto::signChallenge(challenge, challengeEncoding, effectiveDomain, privateKey);
    return VelqoV1Action::submitSignature(keyId, std::move(signed_.signature), std::move(signed_.mapp));
  } catch (const VelqoV1DeviceCryptoError&) {
    throw;
  } catch (const VelqoV1CryptoError& error) {
    store_->deleteRecord(userId, projectId_);
    throw VelqoV1DeviceCryptoError(codeForCryptoFailure(error), kChallengeFailed, true);
  } catch (...) {
    debugLog(std::string(kLogTag) + "device_challenge failed: " + describe(std::current_exception()));
    store_->deleteRecord(userId, projectId_);
    throw VelqoV1DeviceCryptoError(Code::invalidSignature, kChallengeFailed, true);
  }
}

std::optional<VelqoV1DeviceCredentials> VelqoV1DeviceCryptoService::deviceCredentials(
    const std::string& identifier) {
  return store_->deviceCredentials(identifier, projectId_);
}

void VelqoV1DeviceCryptoService::clearRecord(const std::string& identifier) {
  try {
    (void)pending_->take(detail::normalizeIdentifier(identifier));
  } catch (...) {
    // Clearing never reports a failure.
  }
  store_->deleteRecord(identifier, projectId_);
}

VelqoV1QrSignaturePayload VelqoV1DeviceCryptoService::signQrMessage(const std::string& message,
                                                                    const std::string& identifier) {
  const std::string userId = detail::normalizeIdentifier(identifier);
  if (userId.empty()) throw VelqoV1DeviceCryptoError::invalidIdentifier();

  std::optional<VelqoV1DeviceCryptoRecord> record;
  try {
    record = store_->load(userId, projectId_);
  } catch (...) {
    record.reset();
  }
  if (!record) {
    store_->deleteRecord(userId, projectId_);
    throw VelqoV1DeviceCryptoError::deviceNotFound();
  }

  const std::string bundleId = bundleIdentifier();
  const std::string os = osName();

  try {
    Bytes secret, sk1, sk2, salt0, sk0, privateKey;
    WipeAll wipeSecrets{&secret, &sk1, &sk2, &salt0, &sk0, &privateKey};
    secret = store_->sharedSecret(userId, projectId_, record->wrapMetadata());
    sk1 = VelqoV1Crypto::deriveSK1(secret, record->combinedprs());
    sk2 = VelqoV1Crypto::deriveSK2(secret, record->salt1());

    Bytes combinedSalt;
    if (record->combinedsalt()) {
      combinedSalt = *record->combinedsalt();
    } else {
      // Records made before the combined salt was stored carry it only inside the keyset.
      std::optional<Bytes> keyset = platform::base64Decode(record->keyset());
      if (!keyset) throw VelqoV1CryptoError::invalidKeyset();
      combinedSalt = VelqoV1Crypto::decryptKeyset(*keyset, sk2).combinedSalt;
    }
    const Bytes expectedInfo = VelqoV1Crypto::makeInfoString(bundleId, os, record->algorithm());
    salt0 = VelqoV1Crypto::decryptCombinedSalt(combinedSalt, sk1, expectedInfo);
    sk0 = VelqoV1Crypto::deriveSK0(secret, salt0);
    privateKey = VelqoV1Crypto::decryptCombinedPrs(record->combinedprs(), record->iv0(), sk0);

    std::optional<Bytes> signature =
        platform::crypto::ed25519Sign(platform::crypto::view(privateKey), platform::crypto::view(message));
    if (!signature) throw VelqoV1CryptoError::signingFailed();
    return VelqoV1QrSignaturePayload{platform::base64Encode(*signature), record->hindex(),
                                     platform::base64Encode(sk2)};
  } catch (const VelqoV1CryptoError& error) {
    store_->deleteRecord(userId, projectId_);
    throw VelqoV1DeviceCryptoError(codeForCryptoFailure(error), kQrSigningFailed, true);
  } catch (...) {
    store_->deleteRecord(userId, projectId_);
    throw VelqoV1DeviceCryptoError(Code::invalidSignature, kQrSigningFailed, true);
  }
}

VelqoV1DeviceCryptoService::CredentialsProvider VelqoV1DeviceCryptoService::makeDeviceCredentialsProvider(
    const std::shared_ptr<VelqoV1DeviceCryptoService>& service) {
  std::weak_ptr<VelqoV1DeviceCryptoService> weak = service;
  return [weak](const std::string& identifier) -> std::optional<VelqoV1DeviceCredentials> {
    auto strong = weak.lock();
    if (!strong) return std::nullopt;
    return strong->deviceCredentials(identifier);
  };
}

VelqoV1DeviceCryptoService::CredentialsInvalidator
VelqoV1DeviceCryptoService::makeDeviceCredentialsInvalidator(
    const std::shared_ptr<VelqoV1DeviceCryptoService>& service) {
  std::weak_ptr<VelqoV1DeviceCryptoService> weak = service;
  return [weak](const std::string& identifier) {
    if (auto strong = weak.lock()) strong->store()->deleteRecord(identifier, strong->projectId());
  };
}

}  // namespace velqo
