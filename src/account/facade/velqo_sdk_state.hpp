#pragma once

// The state behind VelqoSDK (internal).

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "account/facade/dev_session.hpp"
#include "account/facade/web_login_manager.hpp"
#include "account/utils/velqo_framework_internal_utils.hpp"
#include "core/transport/api_service.hpp"
#include "core/transport/end_points.hpp"
#include "velqo/account/velqo_sdk.hpp"
#include "velqo/platform/user_defaults.hpp"

namespace velqo {

class VelqoAuthV4;
class VelqoAuthV5;

struct VelqoSDK::State {
  /// User-defaults key of the push token last registered for a user: prefix + user id.
  static constexpr const char* lastRegisteredTokenKeyPrefix = "velqo_sdk_last_registered_apns_token_";
  /// The older, user-independent form of the same value; removed at sign-in, never written.
  static constexpr const char* legacyLastRegisteredTokenKey = "velqo_sdk_last_registered_apns_token";

  // Fixed at construction.
  std::string projectApiKey;
  EndPoints endPoints;
  std::shared_ptr<const ApiService> apiService;
  std::optional<VelqoOAuthConfig> oauthConfig;
  std::shared_ptr<VelqoAuthV4> authV4InternalManager;
  std::shared_ptr<VelqoAuthV5> authV5InternalManager;
  std::shared_ptr<DevSession> devSessionManager;
  std::shared_ptr<WebLoginManager> webLoginManager;
  std::shared_ptr<const VelqoFrameworkInternalUtils> internalUtils;
  std::shared_ptr<platform::UserDefaults> userDefaults;

  // Written from callers' threads and the main queue: guarded by `mutex`, which is never held
  // while calling out (host code, transport, storage).
  mutable std::mutex mutex;
  std::weak_ptr<VelqoPushAuthDelegate> pushAuthDelegate;
  std::optional<Bytes> currentApnsTokenData;
  std::optional<std::string> lastRegisteredApnsTokenString;

  /// The last signed-in user and that user's stored access token, when both exist.
  struct SignedIn {
    std::string user;
    std::string accessToken;
  };
  std::optional<SignedIn> signedInUser() const;

  std::shared_ptr<VelqoPushAuthDelegate> delegate() const;

  /// Registers the kept push token for the last signed-in user when it is not registered yet.
  /// Decides under the lock, sends without it; only an answer with status 200 records the token,
  /// and only when no clear (by any facade or process, see detail::PushRecordTurn) came between.
  static void registerPushToken(const std::shared_ptr<State>& state);
  /// Fetches a login request's details for the delegate.
  static void fetchLoginRequestDetails(const std::shared_ptr<State>& state, const std::string& requestId);
  /// Approve or decline; the completion runs whether or not the facade still exists.
  void performPushAction(const std::string& requestId, const std::string& url,
                         PushActionCompletion completion) const;

  /// Forgets the registered token when `user` is the last signed-in user.
  void forgetRegisteredTokenIfLastUser(const std::string& user);
};

}  // namespace velqo
