#pragma once

// Storage of V1 device credentials: one JSON record per user and project in the item store
// ("keychain") and, where the hardware token grants one, a permanent P-256 key whose ECDH
// with an ephemeral public key kept in the record gives the credential's shared secret.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velqo/export.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/v1/protocol/actions.hpp"
#include "velqo/v1/protocol/json_coding.hpp"

namespace velqo {

namespace detail {
class VelqoV1SecureEnclaveWrapper;
class DecodedRecords;
struct VelqoV1DeviceCryptoRecordFactory;
}  // namespace detail

/// How the shared secret of a credential is recovered: either the ephemeral public key whose
/// ECDH with the hardware key gives it, or (fallback) the 32-byte secret itself.
/// A value; the bytes are wiped when the value is destroyed.
class VELQO_API VelqoV1WrapMetadata {
 public:
  enum class Kind { secureEnclave, fallback };

  /// The 65-byte uncompressed X9.63 point of the ephemeral public key.
  static VelqoV1WrapMetadata secureEnclave(Bytes ephemeralPublicKey);
  /// The shared secret itself, kept in the record.
  static VelqoV1WrapMetadata fallback(Bytes sharedSecret);

  VelqoV1WrapMetadata(const VelqoV1WrapMetadata& other) = default;
  VelqoV1WrapMetadata(VelqoV1WrapMetadata&& other) noexcept;
  VelqoV1WrapMetadata& operator=(const VelqoV1WrapMetadata& other);
  VelqoV1WrapMetadata& operator=(VelqoV1WrapMetadata&& other) noexcept;
  ~VelqoV1WrapMetadata();

  Kind kind() const noexcept { return kind_; }
  /// The case's bytes: the ephemeral public key, or the shared secret.
  const Bytes& value() const noexcept { return value_; }

  friend bool operator==(const VelqoV1WrapMetadata& a, const VelqoV1WrapMetadata& b) {
    return a.kind_ == b.kind_ && a.value_ == b.value_;
  }

 private:
  VelqoV1WrapMetadata(Kind kind, Bytes value) : kind_(kind), value_(std::move(value)) {}
  Kind kind_;
  Bytes value_;
};

/// A device credential as stored: salts, the sealed Ed25519 signing key, the sealed keyset,
/// the hash index and how to recover the shared secret. Immutable; records come from the
/// device-trust service's setup or from decoding.
class VELQO_API VelqoV1DeviceCryptoRecord {
 public:
  std::int64_t recordVersion() const noexcept { return recordVersion_; }
  /// Seconds since 1970-01-01 00:00 UTC, with fraction.
  double createdAt() const noexcept { return createdAt_; }
  /// The normalised identifier (trimmed, lower-cased) the record belongs to.
  const std::string& userIdentifier() const noexcept { return userIdentifier_; }
  const std::string& projectId() const noexcept { return projectId_; }
  const std::string& algorithm() const noexcept { return algorithm_; }
  /// Base64 of the sealed keyset, exactly the text sent to the service.
  const std::string& keyset() const noexcept { return keyset_; }
  /// Base64 of the 32-byte hash index.
  const std::string& hindex() const noexcept { return hindex_; }
  const Bytes& salt1() const noexcept { return salt1_; }
  const Bytes& salt2() const noexcept { return salt2_; }
  /// Sealed salt0 and info string (nonce, ciphertext, tag); absent in older records.
  const std::optional<Bytes>& combinedsalt() const noexcept { return combinedsalt_; }
  /// Sealed 32-byte Ed25519 private key: ciphertext followed by the 16-byte tag.
  const Bytes& combinedprs() const noexcept { return combinedprs_; }
  /// The 12-byte nonce of `combinedprs`.
  const Bytes& iv0() const noexcept { return iv0_; }
  const VelqoV1WrapMetadata& wrapMetadata() const noexcept { return wrapMetadata_; }

  friend bool operator==(const VelqoV1DeviceCryptoRecord& a, const VelqoV1DeviceCryptoRecord& b) = default;

 private:
  friend struct detail::VelqoV1DeviceCryptoRecordFactory;
  VelqoV1DeviceCryptoRecord(std::int64_t recordVersion, double createdAt, std::string userIdentifier,
                            std::string projectId, std::string algorithm, std::string keyset,
                            std::string hindex, Bytes salt1, Bytes salt2, std::optional<Bytes> combinedsalt,
                            Bytes combinedprs, Bytes iv0, VelqoV1WrapMetadata wrapMetadata);

  std::int64_t recordVersion_;
  double createdAt_;
  std::string userIdentifier_;
  std::string projectId_;
  std::string algorithm_;
  std::string keyset_;
  std::string hindex_;
  Bytes salt1_;
  Bytes salt2_;
  std::optional<Bytes> combinedsalt_;
  Bytes combinedprs_;
  Bytes iv0_;
  VelqoV1WrapMetadata wrapMetadata_;
};

/// {"type":"secureEnclave"|"fallback","value":"<padded standard base64>"}, "type" first.
/// Throws VelqoV1JSONCodingError (never in practice).
VELQO_API std::string encodeV1JSON(const VelqoV1WrapMetadata& metadata);
/// Reads the object above. Throws VelqoV1JSONCodingError: dataCorrupted for a "type" other
/// than the two names and for a "value" that is not strict base64 (debug description
/// "Invalid base64 metadata"), typeMismatch for a "value" that is not a string, keyNotFound
/// or valueNotFound for a missing or null key.
template <>
VELQO_API VelqoV1WrapMetadata decodeV1JSON<VelqoV1WrapMetadata>(std::string_view json);

/// The record's JSON as a default JSON encoder writes it: keys in field order,
/// no whitespace, "/" escaped as "\/", bytes as padded standard base64, "combinedsalt" left
/// out when absent, `createdAt` as the shortest decimal that reads back to the same double
/// (a whole number without a fraction). Throws VelqoV1JSONCodingError (invalidValue) for a
/// text that is not valid UTF-8 or a non-finite `createdAt`.
VELQO_API std::string encodeV1JSON(const VelqoV1DeviceCryptoRecord& record);
/// Reads a record. Every key is required except "combinedsalt" (absent or null gives an
/// absent value); byte fields must be strict standard base64 (no whitespace); unknown keys
/// are ignored. Throws VelqoV1JSONCodingError.
template <>
VELQO_API VelqoV1DeviceCryptoRecord decodeV1JSON<VelqoV1DeviceCryptoRecord>(std::string_view json);

/// Failures of the device credential store. Domain "VelqoV1DeviceCryptoStoreError", code =
/// the case's position.
class VELQO_API VelqoV1DeviceCryptoStoreError : public platform::PlatformError {
 public:
  enum class Case {
    encodingFailed,            ///< a record cannot be encoded, or the item store refuses it
    decodingFailed,            ///< a stored item is not a decodable record
    corruptedRecord,           ///< the stored ephemeral public key is not a P-256 public key
    secureEnclaveUnavailable,  ///< the hardware key store cannot be used
  };

  static VelqoV1DeviceCryptoStoreError encodingFailed();
  static VelqoV1DeviceCryptoStoreError decodingFailed();
  static VelqoV1DeviceCryptoStoreError corruptedRecord();
  static VelqoV1DeviceCryptoStoreError secureEnclaveUnavailable();

  Case errorCase() const noexcept { return case_; }

 private:
  explicit VelqoV1DeviceCryptoStoreError(Case errorCase);
  Case case_;
};

/// A new shared secret with what the record must keep to recover it, and the peer public key
/// that enters the hash index (the ephemeral public key, or the secret itself in the
/// fallback). The secret is wiped on destruction.
struct VELQO_API VelqoV1SharedSecret {
  Bytes secret;
  VelqoV1WrapMetadata metadata;
  Bytes peerPublicKey;

  VelqoV1SharedSecret(Bytes secretBytes, VelqoV1WrapMetadata wrapMetadata, Bytes peer);
  VelqoV1SharedSecret(const VelqoV1SharedSecret&) = delete;
  VelqoV1SharedSecret& operator=(const VelqoV1SharedSecret&) = delete;
  VelqoV1SharedSecret(VelqoV1SharedSecret&&) noexcept = default;
  VelqoV1SharedSecret& operator=(VelqoV1SharedSecret&&) noexcept = default;
  ~VelqoV1SharedSecret();
};

/// The device credential store. Every operation runs synchronously on the caller's thread;
/// its only mutable state is an internal, locked cache of decoded records, so one store may be
/// used from several threads (two operations on the same credential are not ordered against
/// each other).
class VELQO_API VelqoV1DeviceCryptoStore {
 public:
  /// Where new shared secrets come from: the hardware key when the hardware grants one, or
  /// never (every new secret is kept in the record itself).
  enum class SecureEnclaveUse { whenAvailable, never };

  /// `serviceName`: the item-store service of the records (an empty text is used unchanged);
  /// without one, the main bundle's identifier, else "com.velqo.sdk".
  explicit VelqoV1DeviceCryptoStore(std::optional<std::string> serviceName = std::nullopt,
                                    SecureEnclaveUse secureEnclave = SecureEnclaveUse::whenAvailable);
  static std::shared_ptr<VelqoV1DeviceCryptoStore> create(
      std::optional<std::string> serviceName = std::nullopt,
      SecureEnclaveUse secureEnclave = SecureEnclaveUse::whenAvailable);

  const std::string& serviceName() const noexcept { return serviceName_; }

  /// normalise(identifier) + "+" + projectId (projectId unchanged).
  static std::string recordKey(std::string_view identifier, std::string_view projectId);

  /// Stores the record under the key of its own identifier and project, replacing any
  /// earlier one. Throws VelqoV1DeviceCryptoStoreError::encodingFailed.
  void save(const VelqoV1DeviceCryptoRecord& record) const;
  /// The stored record, or nothing when there is none. Throws decodingFailed for an item
  /// that is not a record (the item stays).
  std::optional<VelqoV1DeviceCryptoRecord> load(std::string_view identifier,
                                                std::string_view projectId) const;
  /// Removes the record and its hardware key. Never throws; missing parts are ignored.
  void deleteRecord(std::string_view identifier, std::string_view projectId) const noexcept;

  /// A new shared secret for the credential: through the hardware key when it can be used,
  /// else (when the hardware reports itself unavailable) 32 random bytes. Throws the
  /// platform error or VelqoV1DeviceCryptoStoreError / VelqoV1CryptoError otherwise.
  VelqoV1SharedSecret createSharedSecret(std::string_view identifier, std::string_view projectId) const;
  /// The shared secret recovered from stored metadata (the caller wipes it). Throws.
  Bytes sharedSecret(std::string_view identifier, std::string_view projectId,
                     const VelqoV1WrapMetadata& metadata) const;

  /// The values that accompany a sign-in start (keyset, hindex, base64 sk2), or nothing
  /// without a record. A record that cannot be read, or whose secret cannot be recovered, is
  /// deleted and nothing is returned. Never throws.
  std::optional<VelqoV1DeviceCredentials> deviceCredentials(std::string_view identifier,
                                                            std::string_view projectId) const noexcept;

 private:
  std::string serviceName_;
  std::shared_ptr<const detail::VelqoV1SecureEnclaveWrapper> secureWrapper_;
  std::shared_ptr<detail::DecodedRecords> decoded_;
};

}  // namespace velqo
