#pragma once

// Web login by PIN and its approval (internal; reached through VelqoSDK).

#include <memory>
#include <string>

#include "core/transport/api_service.hpp"
#include "core/transport/end_points.hpp"
#include "velqo/account/web_login_callback.hpp"

namespace velqo {

class VelqoFrameworkInternalUtils;

/// A web page shows a PIN; webLogin() looks its pending web session up and leaves it in the
/// standard user defaults ("web_token", "sessionDetails" as pretty-printed JSON) for the host
/// application to show; webApprove() approves a web token for the last signed-in user and
/// removes those values. Immutable after construction; keeps no state between calls, so it may
/// be used from any thread. Each call reports once through its callback, on the main queue one
/// turn after the transport delivered there, or on the caller's thread for the approval's two
/// checks before any request. A failure leaves earlier stored values in place.
class WebLoginManager {
  // Only `create` can make one.
  class Passkey {
    Passkey() = default;
    friend class WebLoginManager;
  };

 public:
  static constexpr const char* webTokenKey = "web_token";
  static constexpr const char* sessionDetailsKey = "sessionDetails";

  static std::shared_ptr<WebLoginManager> create(
      std::shared_ptr<const ApiService> apiService, EndPoints endPoints,
      std::shared_ptr<const VelqoFrameworkInternalUtils> internalUtils);
  /// Use `create`.
  WebLoginManager(Passkey, std::shared_ptr<const ApiService> apiService, EndPoints endPoints,
                  std::shared_ptr<const VelqoFrameworkInternalUtils> internalUtils);

  /// Sends the PIN unchanged (no trimming, no format check), without a bearer token.
  void webLogin(const std::string& pin, std::shared_ptr<WebLoginCallback> callback) const;
  /// Approves `token` (the stored "web_token" is not consulted) with the last signed-in
  /// user's access token.
  void webApprove(const std::string& token, std::shared_ptr<WebLoginCallback> callback) const;

 private:
  std::shared_ptr<const ApiService> apiService_;
  EndPoints endPoints_;
  std::shared_ptr<const VelqoFrameworkInternalUtils> internalUtils_;
};

}  // namespace velqo
