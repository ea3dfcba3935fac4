#pragma once

// The host application's single entry to the account interface.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "velqo/account/auth_v4_callback.hpp"
#include "velqo/account/auth_v5_callback.hpp"
#include "velqo/account/dev_session_callback.hpp"
#include "velqo/account/push_auth_delegate.hpp"
#include "velqo/account/push_payload.hpp"
#include "velqo/account/web_login_callback.hpp"
#include "velqo/core/oauth_config.hpp"
#include "velqo/export.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/error.hpp"

namespace velqo {

/// Builds the whole account stack (endpoint bases, one REST transport shared by all, the V4 and
/// V5 sign-in engines, the device list, web login) and forwards sign-in, device-list and
/// web-login calls to it; implements push-notification login itself; stores tokens issued by
/// the host's own back end and clears stored tokens and device credentials.
///
/// Every operation may be called from any thread and runs on it until its request is handed to
/// the HTTP session; answers are handled on the main queue, so callbacks, delegate calls and
/// completions arrive there, except the early failures named below, which come on the caller's
/// thread before the call returns. Requests in flight hold the facade weakly: an answer that
/// arrives after the facade is gone is dropped (approve and decline still complete).
/// Thread-safe.
class VELQO_API VelqoSDK {
  // Only `create` can make one: a private constructor keeps it from being built anywhere else.
  class Passkey {
    Passkey() = default;
    friend class VelqoSDK;
  };

 public:
  /// Completion of approve and decline: no error on success.
  using PushActionCompletion = std::function<void(const std::optional<platform::PlatformError>& error)>;

  /// Error domain and code of a push operation without a signed-in user or stored access token
  /// ("User not authenticated."); approve and decline answered with another status than 200
  /// fail in the same domain with that status as code ("Action failed.").
  static constexpr const char* errorDomain = "VelqoSDK";
  static constexpr long notAuthenticatedCode = 401;

  /// Builds the stack for the project API key and the service's base URL. Nothing is read
  /// from storage and nothing is sent.
  static std::shared_ptr<VelqoSDK> create(std::string projectApiKey, std::string baseURL,
                                          std::optional<VelqoOAuthConfig> oauthConfig = std::nullopt);
  /// Use `create`.
  VelqoSDK(Passkey, std::string projectApiKey, std::string baseURL,
           std::optional<VelqoOAuthConfig> oauthConfig);
  ~VelqoSDK();
  VelqoSDK(const VelqoSDK&) = delete;
  VelqoSDK& operator=(const VelqoSDK&) = delete;

  /// The delegate that receives fetched login requests; kept weakly (the host keeps it alive).
  /// Empty when none is set or the one set has been released.
  std::shared_ptr<VelqoPushAuthDelegate> pushAuthDelegate() const;
  /// Replaces the delegate without retaining it; an empty pointer removes it.
  void setPushAuthDelegate(std::weak_ptr<VelqoPushAuthDelegate> delegate);

  // ---- sign-in, device list and web login: forwarded unchanged ----

  /// V4 sign-in or registration of `userid`; results through the weakly held callback (the
  /// host keeps it alive; once released, the attempt's outcome is dropped).
  void authenticateV4(const std::string& userid, std::weak_ptr<AuthV4Callback> callback);
  void submitOtpV4(const std::string& otp);
  /// V5 sign-in or registration of `userid`; results through the weakly held callback (the
  /// host keeps it alive; once released, the attempt's outcome is dropped).
  void authenticateV5(const std::string& userid, std::weak_ptr<AuthV5Callback> callback);
  void submitOtpV5(const std::string& otp);
  /// Fetches the last signed-in user's devices into the user defaults ("devDetails"); the
  /// callback is kept until it has been called once.
  void getDeviceDetails(std::shared_ptr<DevSessionCallback> callback);
  /// Looks a web session up by the PIN its page shows ("web_token", "sessionDetails" in the user
  /// defaults); the callback is kept until it has been called once.
  void webLogin(const std::string& pin, std::shared_ptr<WebLoginCallback> callback);
  /// Approves the web session of `token` for the last signed-in user.
  void webApprove(const std::string& token, std::shared_ptr<WebLoginCallback> callback);

  // ---- push login ----

  /// Keeps the device's push token, then registers it for the last signed-in user when it has
  /// not been registered for that user yet. Registration failures are silent (a token that
  /// could not be registered is tried again at the next call or sign-in).
  void setAPNsDeviceToken(const Bytes& token);
  /// Call after a sign-in: loads the last signed-in user's push state, then registers the kept
  /// push token when needed.
  void userDidAuthenticate();
  /// True when the payload carries a text under "request_id": that login request is then
  /// fetched and handed to the delegate (didReceiveLoginRequest or
  /// failedToFetchLoginRequestDetails; without a signed-in user or access token the failure,
  /// code 401, comes on the caller's thread). False for any other payload.
  [[nodiscard]] bool handlePushNotification(const VelqoPushPayload& userInfo);
  /// Approves or declines a login request. The completion runs once: on the main queue with
  /// the transport's error, the "Action failed." error, or no error for status 200; on the
  /// caller's thread, before the call returns, with the 401 error when no user is signed in or
  /// no access token is stored.
  void approveLoginRequest(const std::string& requestId, PushActionCompletion completion);
  void declineLoginRequest(const std::string& requestId, PushActionCompletion completion);

  // ---- users and tokens ----

  /// True when the id can be used as an account user id: it is UTF-8 and names no other
  /// stored record (the last-user record, another user's token items, a V1 device
  /// credential). Sign-ins fail with INVALID_INPUT for any other id, storeBackendOAuthTokens
  /// returns false and the clears do nothing; nothing is sent or stored.
  [[nodiscard]] static bool isUsableUserId(const std::string& userId);
  /// The last signed-in user; empty when there is none.
  std::string getLastLoggedInUser() const;
  /// Stores tokens issued by the host's back end as the user's access and refresh tokens (the
  /// access token in both when no refresh token is given) and, when both saves succeed, makes
  /// the user the last signed-in user. True exactly when both saves succeeded.
  [[nodiscard]] bool storeBackendOAuthTokens(const std::string& accessToken,
                                             const std::optional<std::string>& refreshToken,
                                             const std::string& forUser);
  /// Removes the user's access and refresh tokens and push registration record; the device
  /// registration and the last-user record stay.
  void clearSessionTokens(const std::string& forUser);
  /// Removes everything stored for the user: tokens, V4 and V5 device credentials, a pending
  /// V5 registration and the push registration record. The last-user record stays.
  void clearUserKeychainData(const std::string& forUser);
  /// Removes the last-user record.
  void clearLastLoggedInUser();

 private:
  struct State;

  std::shared_ptr<State> state_;
};

}  // namespace velqo
