#pragma once

// Device-detail records sent as "device_info" and the V5 environment record.

#include <optional>
#include <string>

namespace velqo {

/// The machine name of `uname`; for "i386", "x86_64" and "arm64" (simulated devices) the
/// environment variable SIMULATOR_MODEL_IDENTIFIER when set, else "Simulator (" + machine + ")".
std::string deviceModelIdentifier();

/// The basic device attributes (SDAB). JSON keys equal the field names.
struct BasicAttributesV1 {
  std::string appBundleId;
  std::string cpuArch;
  std::string deviceModel;
  std::string osVersion;
  bool operator==(const BasicAttributesV1&) const = default;
};

/// The "device_info" object of every V4 and V5 request. JSON keys equal the field names.
struct MobileDeviceInfoV1 {
  std::string fp_version;  ///< the account engines always send "mobile_v1"
  std::string fingerprint_hash;
  BasicAttributesV1 sdab_attributes;
  bool operator==(const MobileDeviceInfoV1&) const = default;
};

/// The environment sent with every V5 registration and stored with V5 key material.
/// JSON keys equal the field names; all three are required.
struct V5EnvironmentInfo {
  std::string userAgent;
  std::string osType;
  std::string sdkVersion;

  /// The running device's values: userAgent = app name + " " + short version + " (" + device
  /// model + "; " + system name + " " + system version + ")", osType = system name, sdkVersion =
  /// "ios_v5_" + short version + "_" + build number. Missing bundle values read "unknown".
  static V5EnvironmentInfo current();
  /// From stored values that may predate some fields: all three present are kept; with an OS
  /// type but not all three, userAgent = osType + " Device" and sdkVersion = the stored one or
  /// "ios_v5_legacy"; without an OS type, current().
  static V5EnvironmentInfo fromStored(const std::optional<std::string>& storedUserAgent,
                                      const std::optional<std::string>& osType,
                                      const std::optional<std::string>& sdkVersion);

  bool operator==(const V5EnvironmentInfo&) const = default;
};

}  // namespace velqo
