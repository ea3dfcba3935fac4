#include "velqo/account/error_codes.hpp"

#include <array>
#include <string>

namespace velqo {
namespace {

struct V4Entry {
  std::string_view raw;
  std::string_view message;
};

constexpr std::array<V4Entry, AuthV4ErrorCode::caseCount> kV4{{
    {"NETWORK_ERROR", "A network error occurred. Please check your connection and try again."},
    {"UNKNOWN_ERROR", "An unexpected error occurred. Please try again."},
    {"INVALID_INPUT", "Invalid input provided. Please check your details."},
    {"KEYCHAIN_SAVE_FAILED", "Failed to securely store session or device information. Please try again."},
    {"CLIENT_CRYPTO_ERROR", "A security calculation error occurred on your device. Please try again."},
    {"INTERNAL_STATE_ERROR", "An internal application error occurred. Please restart the process."},
    {"AUTH_INIT_FAILED", "Failed to initialize authentication. Please try again."},
    {"OTP_VERIFICATION_FAILED",
     "The verification code is incorrect, expired, or the process failed. Please try again."},
    {"MISSING_DEVICE_TOKEN_SESSION",
     "The verification session is invalid or expired. Please restart the process."},
    {"DEVICE_VERIFICATION_FAILED", "Failed to finalize device registration. Please try again."},
    {"MISSING_ER1R2_FOR_REGISTRATION",
     "Could not retrieve necessary information to complete registration. Please retry."},
    {"CIPHER_VERIFICATION_FAILED", "Login verification failed. Please try signing in again."},
    {"MISSING_CRYPTO_FOR_LOGIN",
     "Required login data not found on this device. You might need to add this device first."},
    {"MISSING_PERSISTENT_DEVICE_TOKEN",
     "Device authorization token is missing. Please try adding this device or re-authenticate."},
    {"OAUTH_CONFIGURATION_MISSING", "Authentication configuration is incomplete. Please contact support."},
    {"OAUTH_EXCHANGE_FAILED", "Unable to finalize sign-in. Please retry."},
    {"OAUTH_TOKEN_VERIFICATION_FAILED",
     "Received an invalid response while finalizing sign-in. Please try again."},
    {"FINGERPRINT_ERROR",
     "Failed to prepare unique device identifier. Ensure security features are enabled and try again."},
}};

constexpr std::array<std::string_view, AuthV5ErrorCode::caseCount> kV5{
    "NETWORK_ERROR",
    "UNKNOWN_ERROR",
    "INVALID_INPUT",
    "INTERNAL_STATE_ERROR",
    "AUTH_INIT_FAILED",
    "OTP_VERIFICATION_FAILED",
    "DEVICE_VERIFICATION_FAILED",
    "LOGIN_INTEGRITY_FAILED",
    "CRYPTO_ERROR",
    "SECURE_STORAGE_ERROR",
    "MISSING_REGISTRATION_CONTEXT",
    "TOKEN_STORAGE_FAILED",
    "OAUTH_CONFIGURATION_MISSING",
    "OAUTH_EXCHANGE_FAILED",
    "OAUTH_TOKEN_VERIFICATION_FAILED",
};

constexpr std::array<std::string_view, WebLoginErrorCode::caseCount> kWeb{
    "UNKNOWN_ERROR",
    "INVALID_PIN",
    "FAILED_APPROVE",
    "NETWORK_ERROR",
};

template <class Table, class Raw>
std::optional<int> positionOf(const Table& table, std::string_view raw, Raw rawOf) noexcept {
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (rawOf(table[i]) == raw) return static_cast<int>(i);
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
  auto position = positionOf(kV4, raw, [](const V4Entry& e) { return e.raw; });
  if (!position) return std::nullopt;
  return AuthV4ErrorCode(static_cast<Value>(*position));
}

std::string_view AuthV4ErrorCode::rawValue() const noexcept {
  return kV4[static_cast<std::size_t>(value_)].raw;
}

std::string_view AuthV4ErrorCode::userMessage() const noexcept {
  return kV4[static_cast<std::size_t>(value_)].message;
}

platform::PlatformError AuthV4ErrorCode::toError() const {
  return bridged(errorDomain, value_);
}

std::optional<AuthV5ErrorCode> AuthV5ErrorCode::fromRawValue(std::string_view raw) noexcept {
  auto position = positionOf(kV5, raw, [](std::string_view e) { return e; });
  if (!position) return std::nullopt;
  return AuthV5ErrorCode(static_cast<Value>(*position));
}

std::string_view AuthV5ErrorCode::rawValue() const noexcept {
  return kV5[static_cast<std::size_t>(value_)];
}

platform::PlatformError AuthV5ErrorCode::toError() const {
  return bridged(errorDomain, value_);
}

std::optional<WebLoginErrorCode> WebLoginErrorCode::fromRawValue(std::string_view raw) noexcept {
  auto position = positionOf(kWeb, raw, [](std::string_view e) { return e; });
  if (!position) return std::nullopt;
  return WebLoginErrorCode(static_cast<Value>(*position));
}

std::string_view WebLoginErrorCode::rawValue() const noexcept {
  return kWeb[static_cast<std::size_t>(value_)];
}

platform::PlatformError WebLoginErrorCode::toError() const {
  return bridged(errorDomain, value_);
}

}  // namespace velqo
