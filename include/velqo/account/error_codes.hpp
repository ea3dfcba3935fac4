#pragma once

// The closed sets of error codes the account interface reports to the host application.

#include <cstddef>
#include <functional>
#include <iterator>
#include <optional>
#include <string_view>

#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"

namespace velqo {

namespace detail {

/// One case of an account error-code set (not part of the interface): the case, its raw text
/// and, where the set has one, the sentence for the user.
template <class Value>
struct ErrorCodeRow {
  Value value;
  std::string_view raw;
  std::string_view userMessage = {};
};

/// True when every row stands at the position of its case.
template <class Value, std::size_t N>
constexpr bool rowsFollowCases(const ErrorCodeRow<Value> (&rows)[N]) noexcept {
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::size_t>(rows[i].value) != i) return false;
  }
  return true;
}

}  // namespace detail

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

 private:
  // One row per case, in the order of the cases: the raw text and the user's sentence.
  static constexpr detail::ErrorCodeRow<Value> rows_[] = {
      {networkError, "NETWORK_ERROR",
       "A network error occurred. Please check your connection and try again."},
      {unknownError, "UNKNOWN_ERROR", "An unexpected error occurred. Please try again."},
      {invalidInput, "INVALID_INPUT", "Invalid input provided. Please check your details."},
      {keychainSaveFailed, "KEYCHAIN_SAVE_FAILED",
       "Failed to securely store session or device information. Please try again."},
      {clientCryptoError, "CLIENT_CRYPTO_ERROR",
       "A security calculation error occurred on your device. Please try again."},
      {internalStateError, "INTERNAL_STATE_ERROR",
       "An internal application error occurred. Please restart the process."},
      {authInitFailed, "AUTH_INIT_FAILED", "Failed to initialize authentication. Please try again."},
      {otpVerificationFailed, "OTP_VERIFICATION_FAILED",
       "The verification code is incorrect, expired, or the process failed. Please try again."},
      {missingDeviceTokenSession, "MISSING_DEVICE_TOKEN_SESSION",
       "The verification session is invalid or expired. Please restart the process."},
      {deviceVerificationFailed, "DEVICE_VERIFICATION_FAILED",
       "Failed to finalize device registration. Please try again."},
      {missingEr1r2ForRegistration, "MISSING_ER1R2_FOR_REGISTRATION",
       "Could not retrieve necessary information to complete registration. Please retry."},
      {cipherVerificationFailed, "CIPHER_VERIFICATION_FAILED",
       "Login verification failed. Please try signing in again."},
      {missingCryptoForLogin, "MISSING_CRYPTO_FOR_LOGIN",
       "Required login data not found on this device. You might need to add this device first."},
      {missingPersistentDeviceToken, "MISSING_PERSISTENT_DEVICE_TOKEN",
       "Device authorization token is missing. Please try adding this device or re-authenticate."},
      {oauthConfigurationMissing, "OAUTH_CONFIGURATION_MISSING",
       "Authentication configuration is incomplete. Please contact support."},
      {oauthExchangeFailed, "OAUTH_EXCHANGE_FAILED", "Unable to finalize sign-in. Please retry."},
      {oauthTokenVerificationFailed, "OAUTH_TOKEN_VERIFICATION_FAILED",
       "Received an invalid response while finalizing sign-in. Please try again."},
      {fingerprintError, "FINGERPRINT_ERROR",
       "Failed to prepare unique device identifier. Ensure security features are enabled and try again."},
  };
  static_assert(detail::rowsFollowCases(rows_));

 public:
  /// The number of cases.
  static constexpr int caseCount = static_cast<int>(std::size(rows_));
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

 private:
  // One row per case, in the order of the cases: the raw text.
  static constexpr detail::ErrorCodeRow<Value> rows_[] = {
      {networkError, "NETWORK_ERROR"},
      {unknownError, "UNKNOWN_ERROR"},
      {invalidInput, "INVALID_INPUT"},
      {internalStateError, "INTERNAL_STATE_ERROR"},
      {authInitFailed, "AUTH_INIT_FAILED"},
      {otpVerificationFailed, "OTP_VERIFICATION_FAILED"},
      {deviceVerificationFailed, "DEVICE_VERIFICATION_FAILED"},
      {loginIntegrityFailed, "LOGIN_INTEGRITY_FAILED"},
      {cryptoError, "CRYPTO_ERROR"},
      {secureStorageError, "SECURE_STORAGE_ERROR"},
      {missingRegistrationContext, "MISSING_REGISTRATION_CONTEXT"},
      {tokenStorageFailed, "TOKEN_STORAGE_FAILED"},
      {oauthConfigurationMissing, "OAUTH_CONFIGURATION_MISSING"},
      {oauthExchangeFailed, "OAUTH_EXCHANGE_FAILED"},
      {oauthTokenVerificationFailed, "OAUTH_TOKEN_VERIFICATION_FAILED"},
  };
  static_assert(detail::rowsFollowCases(rows_));

 public:
  /// The number of cases.
  static constexpr int caseCount = static_cast<int>(std::size(rows_));
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

 private:
  // One row per case, in the order of the cases: the raw text.
  static constexpr detail::ErrorCodeRow<Value> rows_[] = {
      {unknownError, "UNKNOWN_ERROR"},
      {invalidPin, "INVALID_PIN"},
      {failedApprove, "FAILED_APPROVE"},
      {networkError, "NETWORK_ERROR"},
  };
  static_assert(detail::rowsFollowCases(rows_));

 public:
  /// The number of cases.
  static constexpr int caseCount = static_cast<int>(std::size(rows_));
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
