#include "velqo/v1/flows/device_crypto_store.hpp"

#include "core/logging/debug_sink_state.hpp"
#include "core/storage/keychain_record.hpp"
#include "core/storage/record_names.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "platform/identifier_text.hpp"
#include "v1/flows/crypto/decoded_records.hpp"
#include "v1/flows/crypto/device_crypto_record_factory.hpp"
#include "v1/flows/crypto/secure_enclave_wrapper.hpp"
#include "v1/protocol/diagnostics.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/core/velqo_v1_crypto.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo {

namespace {

constexpr const char* kLogTag = "[V1DeviceCrypto] ";
constexpr const char* kAccountPrefix = record_names::v1DeviceCredentialPrefix;
constexpr const char* kDefaultServiceName = "com.velqo.sdk";

std::string accountFor(const std::string& recordKey) {
  return kAccountPrefix + recordKey;
}

const char* keyStoreName(const VelqoV1WrapMetadata& metadata) {
  return metadata.kind() == VelqoV1WrapMetadata::Kind::secureEnclave ? "secure_enclave" : "software_fallback";
}

std::string defaultServiceName() {
  auto identifier = platform::mainBundle().identifier;
  if (identifier && !identifier->empty()) return *identifier;
  return kDefaultServiceName;
}

const char* storeErrorDescription(VelqoV1DeviceCryptoStoreError::Case errorCase) {
  switch (errorCase) {
    case VelqoV1DeviceCryptoStoreError::Case::encodingFailed:
      return "The device credential record could not be encoded or stored.";
    case VelqoV1DeviceCryptoStoreError::Case::decodingFailed:
      return "The stored device credential record could not be decoded.";
    case VelqoV1DeviceCryptoStoreError::Case::corruptedRecord:
      return "The stored device credential record holds an unusable public key.";
    case VelqoV1DeviceCryptoStoreError::Case::secureEnclaveUnavailable:
      return "The Secure Enclave cannot be used.";
  }
  return "Device credential store error.";
}

}  // namespace

namespace detail {

std::string normalizeIdentifier(std::string_view identifier) {
  return platform::normalizedIdentifier(identifier);
}

std::string recordRef(std::string_view recordKey) {
  return platform::crypto::sha256Hex(platform::crypto::view(recordKey)).substr(0, 12);
}

}  // namespace detail

// ---- VelqoV1DeviceCryptoStoreError ----

VelqoV1DeviceCryptoStoreError::VelqoV1DeviceCryptoStoreError(Case errorCase)
    : PlatformError("VelqoV1DeviceCryptoStoreError", static_cast<long>(errorCase),
                    storeErrorDescription(errorCase)),
      case_(errorCase) {}

VelqoV1DeviceCryptoStoreError VelqoV1DeviceCryptoStoreError::encodingFailed() {
  return VelqoV1DeviceCryptoStoreError(Case::encodingFailed);
}
VelqoV1DeviceCryptoStoreError VelqoV1DeviceCryptoStoreError::decodingFailed() {
  return VelqoV1DeviceCryptoStoreError(Case::decodingFailed);
}
VelqoV1DeviceCryptoStoreError VelqoV1DeviceCryptoStoreError::corruptedRecord() {
  return VelqoV1DeviceCryptoStoreError(Case::corruptedRecord);
}
VelqoV1DeviceCryptoStoreError VelqoV1DeviceCryptoStoreError::secureEnclaveUnavailable() {
  return VelqoV1DeviceCryptoStoreError(Case::secureEnclaveUnavailable);
}

// ---- VelqoV1SharedSecret ----

VelqoV1SharedSecret::VelqoV1SharedSecret(Bytes secretBytes, VelqoV1WrapMetadata wrapMetadata, Bytes peer)
    : secret(std::move(secretBytes)), metadata(std::move(wrapMetadata)), peerPublicKey(std::move(peer)) {}

VelqoV1SharedSecret::~VelqoV1SharedSecret() {
  wipe(secret);
  // In the fallback the peer key is the secret itself.
  if (metadata.kind() == VelqoV1WrapMetadata::Kind::fallback) wipe(peerPublicKey);
}

// ---- VelqoV1DeviceCryptoStore ----

VelqoV1DeviceCryptoStore::VelqoV1DeviceCryptoStore(std::optional<std::string> serviceName,
                                                   SecureEnclaveUse secureEnclave)
    : serviceName_(serviceName ? std::move(*serviceName) : defaultServiceName()),
      secureWrapper_(std::make_shared<const detail::VelqoV1SecureEnclaveWrapper>(
          serviceName_, secureEnclave == SecureEnclaveUse::whenAvailable)),
      decoded_(std::make_shared<detail::DecodedRecords>()) {}

std::shared_ptr<VelqoV1DeviceCryptoStore> VelqoV1DeviceCryptoStore::create(
    std::optional<std::string> serviceName, SecureEnclaveUse secureEnclave) {
  return std::make_shared<VelqoV1DeviceCryptoStore>(std::move(serviceName), secureEnclave);
}

std::string VelqoV1DeviceCryptoStore::recordKey(std::string_view identifier, std::string_view projectId) {
  std::string key = detail::normalizeIdentifier(identifier);
  key += '+';
  key += projectId;
  return key;
}

void VelqoV1DeviceCryptoStore::save(const VelqoV1DeviceCryptoRecord& record) const {
  const std::string key = recordKey(record.userIdentifier(), record.projectId());
  std::string json;
  try {
    json = encodeV1JSON(record);
  } catch (const std::exception&) {
    throw VelqoV1DeviceCryptoStoreError::encodingFailed();
  }
  decoded_->forget(key);
  if (!KeychainRecord(serviceName_, accountFor(key)).saveText(std::move(json))) {
    throw VelqoV1DeviceCryptoStoreError::encodingFailed();
  }
  if (detail::debugSinkInstalled()) {
    debugLog(std::string(kLogTag) + "device_record_saved recordStore=keychain keyStore=" +
             keyStoreName(record.wrapMetadata()) + " recordRef=" + detail::recordRef(key));
  }
}

std::optional<VelqoV1DeviceCryptoRecord> VelqoV1DeviceCryptoStore::load(std::string_view identifier,
                                                                        std::string_view projectId) const {
  const std::string key = recordKey(identifier, projectId);
  std::optional<StoredText> stored = KeychainRecord(serviceName_, accountFor(key)).loadText();
  if (!stored) {
    if (detail::debugSinkInstalled()) {
      debugLog(std::string(kLogTag) +
               "device_record_not_found recordStore=keychain recordRef=" + detail::recordRef(key));
    }
    return std::nullopt;
  }

  std::optional<VelqoV1DeviceCryptoRecord> record = decoded_->find(key, stored->bytes());
  if (!record) {
    try {
      record.emplace(decodeV1JSON<VelqoV1DeviceCryptoRecord>(stored->text()));
    } catch (const std::exception&) {
      throw VelqoV1DeviceCryptoStoreError::decodingFailed();
    }
    try {
      decoded_->keep(key, stored->bytes(), *record);
    } catch (...) {
      // Not kept (out of memory): the next load decodes again.
    }
  }
  if (detail::debugSinkInstalled()) {
    debugLog(std::string(kLogTag) + "device_record_loaded recordStore=keychain keyStore=" +
             keyStoreName(record->wrapMetadata()) + " recordRef=" + detail::recordRef(key));
  }
  return record;
}

void VelqoV1DeviceCryptoStore::deleteRecord(std::string_view identifier,
                                            std::string_view projectId) const noexcept {
  try {
    const std::string key = recordKey(identifier, projectId);
    decoded_->forget(key);
    KeychainRecord(serviceName_, accountFor(key)).remove();
    secureWrapper_->deleteKey(key);
    if (detail::debugSinkInstalled()) {
      debugLog(
          std::string(kLogTag) +
          "device_record_deleted recordStore=keychain keyStore=unknown recordRef=" + detail::recordRef(key));
    }
  } catch (...) {
    // Removal never reports a failure.
  }
}

VelqoV1SharedSecret VelqoV1DeviceCryptoStore::createSharedSecret(std::string_view identifier,
                                                                 std::string_view projectId) const {
  return secureWrapper_->createSharedSecret(recordKey(identifier, projectId));
}

Bytes VelqoV1DeviceCryptoStore::sharedSecret(std::string_view identifier, std::string_view projectId,
                                             const VelqoV1WrapMetadata& metadata) const {
  return secureWrapper_->sharedSecret(recordKey(identifier, projectId), metadata);
}

std::optional<VelqoV1DeviceCredentials> VelqoV1DeviceCryptoStore::deviceCredentials(
    std::string_view identifier, std::string_view projectId) const noexcept {
  try {
    std::optional<VelqoV1DeviceCryptoRecord> record;
    try {
      record = load(identifier, projectId);
    } catch (...) {
      deleteRecord(identifier, projectId);
      return std::nullopt;
    }
    if (!record) return std::nullopt;

    Bytes secret;
    try {
      // The device challenge that answers this start takes the same secret again.
      secret = secureWrapper_->sharedSecret(recordKey(identifier, projectId), record->wrapMetadata(),
                                            detail::VelqoV1SecureEnclaveWrapper::Keep::forNextUse);
    } catch (...) {
      deleteRecord(identifier, projectId);
      return std::nullopt;
    }
    ScopedWipe wipeSecret(secret);
    Bytes sk2 = VelqoV1Crypto::deriveSK2(secret, record->salt1());
    ScopedWipe wipeSk2(sk2);
    return VelqoV1DeviceCredentials{record->keyset(), record->hindex(), platform::base64Encode(sk2)};
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace velqo
