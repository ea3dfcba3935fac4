#pragma once

// The closed sets of error codes the account interface reports to the host application.

#include <functional>
#include <optional>
#include <string_view>

#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"

namespace velqo {

/// Failures of the V4 sign-in, reported through AuthV4Callback::onError. A plain value: equal
/// when the raw texts are equal, hashed by position (which follows the raw text one to one).
class VELQO_API AuthV4ErrorCode {
 public:
  enum Value : int {
    networkError,
    unknownError,
    invalidInput,
    keychainSaveFailed,
    clientCryptoError,
    internalStateError,
    authInitFailed,
    otpVerificationFailed,
    missingDeviceTokenSession,
    deviceVerificationFailed,
    missingEr1r2ForRegistration,
    cipherVerificationFailed,
    missingCryptoForLogin,
    missingPersistentDeviceToken,
    oauthConfigurationMissing,
    oauthExchangeFailed,
    oauthTokenVerificationFailed,
    fingerprintError,
  };

  /// The number of cases.
  static constexpr int caseCount = static_cast<int>(fingerprintError) + 1;
  /// The domain of the bridged error object.
  static constexpr const char* errorDomain = "VelqoFramework.AuthV4ErrorCode";

  constexpr AuthV4ErrorCode(Value value) noexcept : value_(value) {}  // NOLINT: implicit like an enum
  /// The case whose raw text is exactly `raw` (case-sensitive); nothing for any other text.
  [[nodiscard]] static std::optional<AuthV4ErrorCode> fromRawValue(std::string_view raw) noexcept;

  constexpr Value value() const noexcept { return value_; }
  /// "NETWORK_ERROR", "UNKNOWN_ERROR", ...
  std::string_view rawValue() const noexcept;
  /// The sentence shown to the user when the engine has no message of its own.
  std::string_view userMessage() const noexcept;
  /// The code as an error object: errorDomain, the case's position as code, no user information.
  platform::PlatformError toError() const;

  friend constexpr bool operator==(AuthV4ErrorCode, AuthV4ErrorCode) = default;

 private:
  Value value_;
};

/// Failures of the V5 sign-in, reported through AuthV5Callback::onError together with a
/// sentence chosen where the failure happens (there is no message table).
class VELQO_API AuthV5ErrorCode {
 public:
  enum Value : int {
    networkError,
    unknownError,
    invalidInput,
    internalStateError,
    authInitFailed,
    otpVerificationFailed,
    deviceVerificationFailed,
    loginIntegrityFailed,
    cryptoError,
    secureStorageError,
    missingRegistrationContext,
    tokenStorageFailed,
    oauthConfigurationMissing,
    oauthExchangeFailed,
    oauthTokenVerificationFailed,
  };

  /// The number of cases.
  static constexpr int caseCount = static_cast<int>(oauthTokenVerificationFailed) + 1;
  static constexpr const char* errorDomain = "VelqoFramework.AuthV5ErrorCode";

  constexpr AuthV5ErrorCode(Value value) noexcept : value_(value) {}  // NOLINT: implicit like an enum
  [[nodiscard]] static std::optional<AuthV5ErrorCode> fromRawValue(std::string_view raw) noexcept;

  constexpr Value value() const noexcept { return value_; }
  std::string_view rawValue() const noexcept;
  platform::PlatformError toError() const;

  friend constexpr bool operator==(AuthV5ErrorCode, AuthV5ErrorCode) = default;

 private:
  Value value_;
};

/// Failures of the web-login approval, reported through WebLoginCallback::showError together
/// with the manager's sentence.
class VELQO_API WebLoginErrorCode {
 public:
  enum Value : int {
    unknownError,
    invalidPin,
    failedApprove,
    networkError,
  };

  /// The number of cases.
  static constexpr int caseCount = static_cast<int>(networkError) + 1;
  static constexpr const char* errorDomain = "VelqoFramework.WebLoginErrorCode";

  constexpr WebLoginErrorCode(Value value) noexcept : value_(value) {}  // NOLINT: implicit like an enum
  [[nodiscard]] static std::optional<WebLoginErrorCode> fromRawValue(std::string_view raw) noexcept;

  constexpr Value value() const noexcept { return value_; }
  std::string_view rawValue() const noexcept;
  platform::PlatformError toError() const;

  friend constexpr bool operator==(WebLoginErrorCode, WebLoginErrorCode) = default;

 private:
  Value value_;
};

}  // namespace velqo

template <>
struct std::hash<velqo::AuthV4ErrorCode> {
  std::size_t operator()(velqo::AuthV4ErrorCode code) const noexcept {
    return std::hash<int>()(code.value());
  }
};
template <>
struct std::hash<velqo::AuthV5ErrorCode> {
  std::size_t operator()(velqo::AuthV5ErrorCode code) const noexcept {
    return std::hash<int>()(code.value());
  }
};
template <>
struct std::hash<velqo::WebLoginErrorCode> {
  std::size_t operator()(velqo::WebLoginErrorCode code) const noexcept {
    return std::hash<int>()(code.value());
  }
};
