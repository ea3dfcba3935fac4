#pragma once

// VelqoV1DeviceInfoBuilder: the device information that a V1 start action may carry.

#include <optional>
#include <string>
#include <string_view>

#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/v1/protocol/actions.hpp"
#include "velqo/v1/protocol/json_value.hpp"

namespace velqo {

/// Why device information could not be built. As a platform error: domain
/// "VelqoV1DeviceInfoError", code = position of the case (fingerprintGenerationFailed 0,
/// invalidIdentifier 1), a readable description. Equality: same case and equal texts.
class VELQO_API VelqoV1DeviceInfoError : public platform::PlatformError {
 public:
  enum class Case { fingerprintGenerationFailed, invalidIdentifier };

  /// The device fingerprint could not be computed; carries the failure's description.
  static VelqoV1DeviceInfoError fingerprintGenerationFailed(std::string failureDescription);
  /// The identifier is empty once trimmed.
  static VelqoV1DeviceInfoError invalidIdentifier();

  Case errorCase() const noexcept { return case_; }
  /// The payload of fingerprintGenerationFailed (empty for invalidIdentifier).
  const std::string& failureDescription() const noexcept { return failureDescription_; }

  friend bool operator==(const VelqoV1DeviceInfoError& a, const VelqoV1DeviceInfoError& b) {
    return a.case_ == b.case_ && a.failureDescription_ == b.failureDescription_;
  }

 private:
  VelqoV1DeviceInfoError(Case c, std::string failureDescription, std::string description);
  Case case_;
  std::string failureDescription_;
};

/// Builds the device information of a start action from the running device and the host's
/// bundle (velqo::platform::currentDevice(), mainBundle()). Stateless; every operation is
/// static, synchronous on the caller's thread and thread-safe. The fingerprint step reads and
/// may create the user's device secret file.
class VELQO_API VelqoV1DeviceInfoBuilder {
 public:
  VelqoV1DeviceInfoBuilder() = delete;

  /// Trimmed of Unicode white space and line breaks at both ends, then lower-cased with
  /// Unicode default case mapping.
  static std::string normalizedIdentifier(std::string_view identifier);

  /// v = 1, the device fingerprint of the normalised identifier, and the signals: the built-in
  /// ones, "sdab" (the basic device attributes, left out when they cannot be computed), then
  /// every additional signal, which replaces a built-in one of the same name. Throws
  /// VelqoV1DeviceInfoError: invalidIdentifier for a blank identifier (before any fingerprint
  /// work), fingerprintGenerationFailed when the fingerprint cannot be computed.
  static VelqoV1DeviceInfo build(std::string_view identifier, const std::optional<std::string>& sdkVersion,
                                 const VelqoV1JSONObject& additionalSignals = {});

  /// The built-in signals: "os", "osVersion", "deviceModel", "deviceType", "bundleId",
  /// "appVersion", "appBuild", "appName", "locale", "language", "timezone" (texts, each only
  /// when known and non-empty), "timezoneOffsetMinutes" (the current time zone's offset from
  /// GMT now, whole minutes as a number), "cpuArch" "arm64", "sdkVersion" (only when given and
  /// non-empty), "platform" "ios" and "isSimulator" true. Never empty.
  static VelqoV1JSONObject buildSignals(const std::optional<std::string>& sdkVersion);
};

}  // namespace velqo
