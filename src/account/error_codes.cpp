#include "velqo/account/error_codes.hpp"

#include <string>

namespace velqo {
namespace {

// The position of the row whose raw text is exactly `raw`.
template <class Value, std::size_t N>
std::optional<Value> caseOf(const detail::ErrorCodeRow<Value> (&rows)[N], std::string_view raw) noexcept {
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
  return caseOf(rows_, raw);
}

std::string_view AuthV4ErrorCode::rawValue() const noexcept {
  return rows_[static_cast<std::size_t>(value_)].raw;
}

std::string_view AuthV4ErrorCode::userMessage() const noexcept {
  return rows_[static_cast<std::size_t>(value_)].userMessage;
}

platform::PlatformError AuthV4ErrorCode::toError() const {
  return bridged(errorDomain, value_);
}

std::optional<AuthV5ErrorCode> AuthV5ErrorCode::fromRawValue(std::string_view raw) noexcept {
  return caseOf(rows_, raw);
}

std::string_view AuthV5ErrorCode::rawValue() const noexcept {
  return rows_[static_cast<std::size_t>(value_)].raw;
}

platform::PlatformError AuthV5ErrorCode::toError() const {
  return bridged(errorDomain, value_);
}

std::optional<WebLoginErrorCode> WebLoginErrorCode::fromRawValue(std::string_view raw) noexcept {
  return caseOf(rows_, raw);
}

std::string_view WebLoginErrorCode::rawValue() const noexcept {
  return rows_[static_cast<std::size_t>(value_)].raw;
}

platform::PlatformError WebLoginErrorCode::toError() const {
  return bridged(errorDomain, value_);
}

}  // namespace velqo
