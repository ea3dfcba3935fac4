#pragma once

// The device fingerprint and the basic device attributes (SDAB) with their hash.

#include <string>

#include "core/identity/device_records.hpp"

namespace velqo {

/// The basic device attributes with the SDAB hash.
struct SdabAttributes {
  std::string appBundleId;
  std::string cpuArch;
  std::string deviceModel;
  std::string osVersion;
  std::string sdabHash;  ///< lower-case hex SHA-256 of the attributes' compact JSON

  BasicAttributesV1 basicAttributes() const { return {appBundleId, cpuArch, deviceModel, osVersion}; }
  bool operator==(const SdabAttributes&) const = default;
};

/// Stateless; thread-safe; synchronous. Failures throw platform::PlatformError objects of
/// domain "FingerprintError" (codes below) or SecureEnclaveError from the per-user secret step.
class FingerprintGenerator {
 public:
  FingerprintGenerator() = delete;

  static constexpr const char* errorDomain = "FingerprintError";
  /// Codes of the "FingerprintError" domain.
  enum ErrorCode : long {
    vendorIdentifierUnavailable = 1,  ///< "Could not retrieve identifierForVendor (OSDI)."
    emptyUserId = 2,                  ///< "UserID cannot be empty for fingerprint generation."
    bundleIdentifierUnavailable = 3,  ///< "Could not retrieve Bundle Identifier." (no longer raised)
    attributesNotSerializable = 4,    ///< "Could not serialize SDAB attributes."
  };

  /// 64 lower-case hex characters: SHA-256 of HKA + "|" + vendor identifier + "|" + SDAB hash +
  /// "|" + userId, where HKA is the hash of the user's device secret.
  static std::string generateFingerprint(const std::string& userId);
  /// The same with attributes the caller made just before (nullptr: made here, and their
  /// failure thrown as above).
  static std::string generateFingerprint(const std::string& userId, const SdabAttributes* sdab);
  /// appBundleId (main bundle identifier, else "com.velqo.sdk"), cpuArch "arm64", deviceModel
  /// (deviceModelIdentifier()), osVersion (system version cut to its first two dot-separated
  /// parts) and their hash.
  static SdabAttributes generateSdabAttributes();
};

}  // namespace velqo
