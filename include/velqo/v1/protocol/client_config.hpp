#pragma once

// VelqoV1ClientConfig: the immutable settings of the V1 protocol client.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "velqo/export.hpp"
#include "velqo/v1/protocol/actions.hpp"
#include "velqo/v1/protocol/device_crypto_handling.hpp"

namespace velqo {

/// The settings of a VelqoProtocolV1Client: a value, immutable once built (read-only
/// accessors), copied by value. Build it with `withConfigId` or `withProjectId`; neither checks
/// any value (an empty identifier is accepted). The client copies it in at construction.
class VELQO_API VelqoV1ClientConfig {
 public:
  /// Stored device credentials of an identifier, or nothing. Called on the thread that starts
  /// a sign-in; must not throw (an exception counts as "nothing").
  using DeviceCredentialsProvider =
      std::function<std::optional<VelqoV1DeviceCredentials>(const std::string&)>;
  /// Drops the device credentials of an identifier the service rejected. Called on the HTTP
  /// session's completion thread; must not throw (an exception is dropped).
  using DeviceCredentialsInvalidator = std::function<void(const std::string&)>;

  /// Everything but the identifiers, in field order. The defaults are those of the V1 entry
  /// object, except the texts (empty) and the clear codes (empty: pass
  /// `defaultDeviceCredentialClearCodes()` to use the usual six).
  struct Settings {
    /// Base of the V1 endpoint, an absolute http(s) URL; requests go to it plus "/auth". A text
    /// that is no URL makes every request fail as a transport error.
    std::string baseURL;
    std::string sdkName;     ///< "X-Velqo-SDK"
    std::string sdkVersion;  ///< "x-Velqo-iosSdk-Version"
    std::string platform;    ///< "X-Velqo-Platform"
    std::int64_t protocolVersion = 2;
    std::optional<std::string> relyingParty;  ///< "X-Relying-Party", left out when absent
    double timeoutSeconds = 15.0;             ///< per request
    /// Bound of the attempt counter for automatic re-sends (transport errors and "retry
    /// request" errors); 0 means no re-send.
    std::int64_t retryMaxAttempts = 2;
    double retryBaseDelaySeconds = 0.5;  ///< back-off: base x 2^attempt
    bool autoRetryWait = false;          ///< re-send after a "wait" error that names its delay
    DeviceCredentialsProvider deviceCredentialsProvider;
    DeviceCredentialsInvalidator deviceCredentialsInvalidator;
    std::set<std::string> deviceCredentialClearCodes;  ///< exact, case-sensitive codes
    /// Answers the device-trust prompts; held strongly by the settings (and every copy).
    std::shared_ptr<VelqoV1DeviceCryptoHandling> deviceCryptoHandler;
  };

  /// configId and projectId := configId, unchanged (no trimming); apiKey absent.
  static VelqoV1ClientConfig withConfigId(std::string configId, Settings settings);
  /// apiKey and projectId trimmed of white space and line breaks (an absent apiKey counts as
  /// empty); configId and projectId := the trimmed apiKey when non-empty, else the trimmed
  /// projectId (possibly empty); apiKey absent.
  static VelqoV1ClientConfig withProjectId(std::string projectId, std::optional<std::string> apiKey,
                                           Settings settings);

  /// "device_not_found", "decryption_failed", "invalid_challenge", "invalid_signature",
  /// "info_mismatch", "info_string_mismatch". Built once on first use; thread-safe.
  static const std::set<std::string>& defaultDeviceCredentialClearCodes();

  const std::string& configId() const noexcept { return configId_; }
  const std::string& projectId() const noexcept { return projectId_; }
  /// Always absent after either initialiser.
  const std::optional<std::string>& apiKey() const noexcept { return apiKey_; }
  const std::string& baseURL() const noexcept { return s_.baseURL; }
  const std::string& sdkName() const noexcept { return s_.sdkName; }
  const std::string& sdkVersion() const noexcept { return s_.sdkVersion; }
  const std::string& platform() const noexcept { return s_.platform; }
  std::int64_t protocolVersion() const noexcept { return s_.protocolVersion; }
  const std::optional<std::string>& relyingParty() const noexcept { return s_.relyingParty; }
  double timeoutSeconds() const noexcept { return s_.timeoutSeconds; }
  std::int64_t retryMaxAttempts() const noexcept { return s_.retryMaxAttempts; }
  double retryBaseDelaySeconds() const noexcept { return s_.retryBaseDelaySeconds; }
  bool autoRetryWait() const noexcept { return s_.autoRetryWait; }
  const DeviceCredentialsProvider& deviceCredentialsProvider() const noexcept {
    return s_.deviceCredentialsProvider;
  }
  const DeviceCredentialsInvalidator& deviceCredentialsInvalidator() const noexcept {
    return s_.deviceCredentialsInvalidator;
  }
  const std::set<std::string>& deviceCredentialClearCodes() const noexcept {
    return s_.deviceCredentialClearCodes;
  }
  const std::shared_ptr<VelqoV1DeviceCryptoHandling>& deviceCryptoHandler() const noexcept {
    return s_.deviceCryptoHandler;
  }

 private:
  VelqoV1ClientConfig(std::string identifier, Settings settings);
  std::string configId_;
  std::string projectId_;
  std::optional<std::string> apiKey_;
  Settings s_;
};

}  // namespace velqo
