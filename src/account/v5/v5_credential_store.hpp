#pragma once

// The per-user V5 credential record in the item store (not installed).

#include <cstdint>
#include <optional>
#include <string>

#include "account/v5/v5_secure_enclave_wrapper.hpp"
#include "core/identity/device_records.hpp"
#include "core/transport/json_codec.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/error.hpp"

namespace velqo {

/// Failures of the credential store. Domain "V5CredentialStoreError", code = the case's position.
class V5CredentialStoreError : public platform::PlatformError {
 public:
  enum class Case {
    encodingFailed,
    decodingFailed,
    secureEnclaveUnavailable,
    corruptedSecrets,
    legacyPayloadDetected
  };

  explicit V5CredentialStoreError(Case errorCase, std::string detail = {});
  [[nodiscard]] Case errorCase() const noexcept { return case_; }

 private:
  Case case_;
};

/// The stored record, exactly as it is kept: byte strings as standard base64 texts, keys in
/// this order. Optional fields are left out when absent. "combinedXPrs" is only ever read.
struct V5StoredPayload {
  std::optional<std::string> salt0;
  std::string salt1;
  std::string salt2;
  std::optional<std::string> combinedPrs;
  std::optional<std::string> combinedXPrs;
  std::string aPeer;
  std::uint8_t version = 1;
  std::optional<std::string> algorithmUsed;
  std::optional<std::string> osType;
  std::optional<std::string> userAgent;
  std::optional<std::string> sdkVersion;
  std::optional<std::string> infoString;
  V5WrapMetadata wrapMetadata = V5WrapMetadata::fallback({});
  std::string deviceToken;

  V5StoredPayload() = default;
  V5StoredPayload(const V5StoredPayload&) = default;
  V5StoredPayload(V5StoredPayload&&) noexcept = default;
  V5StoredPayload& operator=(const V5StoredPayload&) = default;
  V5StoredPayload& operator=(V5StoredPayload&&) noexcept = default;
  ~V5StoredPayload();  ///< wipes the texts that carry secrets

  friend bool operator==(const V5StoredPayload&, const V5StoredPayload&) = default;
};
void to_json(json::Value& out, const V5StoredPayload& payload);
/// Throws json::DecodeError (a "value" that is not base64: dataCorrupted, "Invalid base64
/// metadata").
void from_json(const json::Value& in, V5StoredPayload& payload);

/// What a stored record gives back for a login. Secret bytes are wiped on destruction.
struct V5KeyMaterial {
  Bytes salt0;
  Bytes salt1;
  Bytes salt2;
  Bytes combinedPrs;
  Bytes infoString;
  Bytes aPeer;
  std::uint8_t version = 1;
  std::string algorithmUsed;
  V5EnvironmentInfo environment;
  V5WrapMetadata wrapMetadata = V5WrapMetadata::fallback({});
  std::string deviceToken;

  V5KeyMaterial() = default;
  V5KeyMaterial(const V5KeyMaterial&) = default;
  V5KeyMaterial(V5KeyMaterial&&) noexcept = default;
  V5KeyMaterial& operator=(const V5KeyMaterial&) = default;
  V5KeyMaterial& operator=(V5KeyMaterial&&) noexcept = default;
  ~V5KeyMaterial();
};

/// The user's V5 record: one generic-password item of `serviceName` with the user id (unchanged)
/// as account and the compact JSON of a V5StoredPayload as data; and the wrapper of the user's
/// hardware key under the same service name. Thread-safe: every call is one item-store step.
class V5CredentialStore {
 public:
  explicit V5CredentialStore(std::string serviceName);

  [[nodiscard]] const std::string& serviceName() const noexcept { return serviceName_; }
  [[nodiscard]] const V5SecureEnclaveWrapper& secureWrapper() const noexcept { return wrapper_; }

  /// The user's key material; nothing when there is no record or it cannot be read. Throws
  /// V5CredentialStoreError: legacyPayloadDetected (an object without "combinedPrs", or without
  /// "infoString"), decodingFailed (not a record), corruptedSecrets (no salt0 or sealed key, or a
  /// value that is not base64).
  [[nodiscard]] std::optional<V5KeyMaterial> load(const std::string& userId) const;
  /// Replaces the user's record; throws V5CredentialStoreError(encodingFailed) when the payload
  /// does not encode or the item is not written.
  void save(const V5StoredPayload& payload, const std::string& userId) const;
  /// Removes the user's record; a missing record is no error.
  void remove(const std::string& userId) const;

 private:
  std::string serviceName_;
  V5SecureEnclaveWrapper wrapper_;
};

}  // namespace velqo
