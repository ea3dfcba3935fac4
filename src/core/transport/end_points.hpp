#pragma once

// Base URLs of the account REST endpoints (not installed).

#include <string>
#include <string_view>

namespace velqo {

/// The five base URL texts of the account interface, derived once from the base URL the
/// host application configures. Request paths ("/v5/auth-init", "/device/details", ...)
/// are appended to them as text, so no base ends with a slash. A plain value: copy it freely.
struct EndPoints {
  std::string authBase;       ///< every V4, V5, push and web-login path
  std::string sessionBase;    ///< session endpoints
  std::string loginBase;      ///< the device list ("/device/details")
  std::string regBase;        ///< registration endpoints
  std::string coreLoginBase;  ///< core login endpoints

  EndPoints() = default;
  /// Derives the five bases from the configured base URL. Never fails: a text that is not a
  /// URL gives bases that are not URLs either, and requests to them fail as invalid URLs.
  explicit EndPoints(std::string_view baseURL);

  friend bool operator==(const EndPoints&, const EndPoints&) = default;
};

}  // namespace velqo
