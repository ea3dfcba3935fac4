#pragma once

// The callback URL of an OAuth redirect: its authorization code and state.

#include <optional>
#include <string>
#include <string_view>

#include "velqo/export.hpp"

namespace velqo {

/// The "code" and "state" of a callback URL, both non-empty and percent-decoded. Pass them on
/// with `VelqoV1FlowController::oauthCallback`.
struct VELQO_API VelqoV1OAuthCallback {
  std::string code;
  std::string state;

  friend bool operator==(const VelqoV1OAuthCallback&, const VelqoV1OAuthCallback&) = default;
};

/// Reads callback URLs. Pure and thread-safe.
struct VELQO_API VelqoV1OAuthCallbackParser {
  VelqoV1OAuthCallbackParser() = delete;

  /// The callback of a URL (absolute, "myapp://cb?code=..&state=..", "com.example.app:/cb?..", or
  /// relative), or nothing. The URL is split without resolving it against any base; a text that
  /// is not a URL (characters a URL may not hold, such as blanks or non-ASCII bytes, a "%" that
  /// starts no two-digit escape, a malformed scheme) gives nothing. The first query item named
  /// exactly "code" and the first named exactly "state", in any order, must both carry a
  /// non-empty value (percent-decoded, "+" kept as is, valid UTF-8); otherwise nothing.
  [[nodiscard]] static std::optional<VelqoV1OAuthCallback> parse(std::string_view url);
};

}  // namespace velqo
