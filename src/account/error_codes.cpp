#include "velqo/account/error_codes.hpp"

#include <cstddef>
#include <iterator>
#include <string>

namespace velqo {
namespace {

// One case of an account error-code set: the case, its raw text and, where the set has one, the
// sentence for the user.
template <class Value>
struct ErrorCodeRow {
  Value value;
  std::string_view raw;
  std::string_view userMessage = {};
};

// True when every row stands at the position of its case.
template <class Value, std::size_t N>
constexpr bool rowsFollowCases(const ErrorCodeRow<Value> (&rows)[N]) noexcept {
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::size_t>(rows[i].value) != i) return false;
  }
  return true;
}

// AuthV4ErrorCode: one row per case, in the order of the cases: the raw text and the user's sentence.
constexpr ErrorCodeRow<AuthV4ErrorCode::Value> v4Rows[] = {
    {AuthV4ErrorCode::networkError, "NETWORK_ERROR",
     "A network error occurred. Please check your connection and try again."},
    {AuthV4ErrorCode::unknownError, "UNKNOWN_ERROR", "An unexpected error occurred. Please try again."},
    {AuthV4ErrorCode::invalidInput, "INVALID_INPUT", "Invalid input provided. Please check your details."},
    {AuthV4ErrorCode::keychainSaveFailed, "KEYCHAIN_SAVE_FAILED",
     "Failed to securely store session or device information. Please try again."},
    {AuthV4ErrorCode::clientCryptoError, "CLIENT_CRYPTO_ERROR",
     "A security calculation error occurred on your device. Please try again."},
    {AuthV4ErrorCode::internalStateError, "INTERNAL_STATE_ERROR",
     "An internal application error occurred. Please restart the process."},
    {AuthV4ErrorCode::authInitFailed, "AUTH_INIT_FAILED",
     "Failed to initialize authentication. Please try again."},
    {AuthV4ErrorCode::otpVerificationFailed, "OTP_VERIFICATION_FAILED",
     "The verification code is incorrect, expired, or the process failed. Please try again."},
    {AuthV4ErrorCode::missingDeviceTokenSession, "MISSING_DEVICE_TOKEN_SESSION",
     "The verification session is invalid or expired. Please restart the process."},
    {AuthV4ErrorCode::deviceVerificationFailed, "DEVICE_VERIFICATION_FAILED",
     "Failed to finalize device registration. Please try again."},
    {AuthV4ErrorCode::missingEr1r2ForRegistration, "MISSING_ER1R2_FOR_REGISTRATION",
     "Could not retrieve necessary information to complete registration. Please retry."},
    {AuthV4ErrorCode::cipherVerificationFailed, "CIPHER_VERIFICATION_FAILED",
     "Login verification failed. Please try signing in again."},
    {AuthV4ErrorCode::missingCryptoForLogin, "MISSING_CRYPTO_FOR_LOGIN",
     "Required login data not found on this device. You might need to add this device first."},
    {AuthV4ErrorCode::missingPersistentDeviceToken, "MISSING_PERSISTENT_DEVICE_TOKEN",
     "Device authorization token is missing. Please try adding this device or re-authenticate."},
    {AuthV4ErrorCode::oauthConfigurationMissing, "OAUTH_CONFIGURATION_MISSING",
     "Authentication configuration is incomplete. Please contact support."},
    {AuthV4ErrorCode::oauthExchangeFailed, "OAUTH_EXCHANGE_FAILED",
     "Unable to finalize sign-in. Please retry."},
    {AuthV4ErrorCode::oauthTokenVerificationFailed, "OAUTH_TOKEN_VERIFICATION_FAILED",
     "Received an invalid response while finalizing sign-in. Please try again."},
    {AuthV4ErrorCode::fingerprintError, "FINGERPRINT_ERROR",
     "Failed to prepare unique device identifier. Ensure security features are enabled and try again."},
};
static_assert(std::size(v4Rows) == AuthV4ErrorCode::caseCount && rowsFollowCases(v4Rows));

// AuthV5ErrorCode: one row per case, in the order of the cases: the raw text.
constexpr ErrorCodeRow<AuthV5ErrorCode::Value> v5Rows[] = {
    {AuthV5ErrorCode::networkError, "NETWORK_ERROR"},
    {AuthV5ErrorCode::unknownError, "UNKNOWN_ERROR"},
    {AuthV5ErrorCode::invalidInput, "INVALID_INPUT"},
    {AuthV5ErrorCode::internalStateError, "INTERNAL_STATE_ERROR"},
    {AuthV5ErrorCode::authInitFailed, "AUTH_INIT_FAILED"},
    {AuthV5ErrorCode::otpVerificationFailed, "OTP_VERIFICATION_FAILED"},
    {AuthV5ErrorCode::deviceVerificationFailed, "DEVICE_VERIFICATION_FAILED"},
    {AuthV5ErrorCode::loginIntegrityFailed, "LOGIN_INTEGRITY_FAILED"},
    {AuthV5ErrorCode::cryptoError, "CRYPTO_ERROR"},
    {AuthV5ErrorCode::secureStorageError, "SECURE_STORAGE_ERROR"},
    {AuthV5ErrorCode::missingRegistrationContext, "MISSING_REGISTRATION_CONTEXT"},
    {AuthV5ErrorCode::tokenStorageFailed, "TOKEN_STORAGE_FAILED"},
    {AuthV5ErrorCode::oauthConfigurationMissing, "OAUTH_CONFIGURATION_MISSING"},
    {AuthV5ErrorCode::oauthExchangeFailed, "OAUTH_EXCHANGE_FAILED"},
    {AuthV5ErrorCode::oauthTokenVerificationFailed, "OAUTH_TOKEN_VERIFICATION_FAILED"},
};
static_assert(std::size(v5Rows) == AuthV5ErrorCode::caseCount && rowsFollowCases(v5Rows));

// WebLoginErrorCode: one row per case, in the order of the cases: the raw text.
constexpr ErrorCodeRow<WebLoginErrorCode::Value> webLoginRows[] = {
    {WebLoginErrorCode::unknownError, "UNKNOWN_ERROR"},
    {WebLoginErrorCode::invalidPin, "INVALID_PIN"},
    {WebLoginErrorCode::failedApprove, "FAILED_APPROVE"},
    {WebLoginErrorCode::networkError, "NETWORK_ERROR"},
};
static_assert(std::size(webLoginRows) == WebLoginErrorCode::caseCount && rowsFollowCases(webLoginRows));

// The position of the row whose raw text is exactly `raw`.
template <class Value, std::size_t N>
std::optional<Value> caseOf(const ErrorCodeRow<Value> (&rows)[N], std::string_view raw) noexcept {
  for (const auto& row : rows) {
    if (row.raw == raw) return row.value;
  }
  return std::nullopt;
}

// The error object a code bridges to: the type's domain and the case's position, with the
// platform's generic description since the code carries no user information.
platform::PlatformError bridged(const char* domain, int position) {
  std::string description = "The operation couldn't be completed. (";
  description.append(domain).append(" error ").append(std::to_string(position)).append(".)");
  return platform::PlatformError(domain, position, std::move(description));
}

}  // namespace

std::optional<AuthV4ErrorCode> AuthV4ErrorCode::fromRawValue(std::string_view raw) noexcept {
  return caseOf(v4Rows, raw);
}

std::string_view AuthV4ErrorCode::rawValue() const noexcept {
  return v4Rows[static_cast<std::size_t>(value_)].raw;
}

std::string_view AuthV4ErrorCode::userMessage() const noexcept {
  return v4Rows[static_cast<std::size_t>(value_)].userMessage;
}

platform::PlatformError AuthV4ErrorCode::toError() const {
  return bridged(errorDomain, value_);
}

std::optional<AuthV5ErrorCode> AuthV5ErrorCode::fromRawValue(std::string_view raw) noexcept {
  return caseOf(v5Rows, raw);
}

std::string_view AuthV5ErrorCode::rawValue() const noexcept {
  return v5Rows[static_cast<std::size_t>(value_)].raw;
}

platform::PlatformError AuthV5ErrorCode::toError() const {
  return bridged(errorDomain, value_);
}

std::optional<WebLoginErrorCode> WebLoginErrorCode::fromRawValue(std::string_view raw) noexcept {
  return caseOf(webLoginRows, raw);
}

std::string_view WebLoginErrorCode::rawValue() const noexcept {
  return webLoginRows[static_cast<std::size_t>(value_)].raw;
}

platform::PlatformError WebLoginErrorCode::toError() const {
  return bridged(errorDomain, value_);
}

}  // namespace velqo
