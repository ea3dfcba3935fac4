#pragma once

// VelqoAuthV4: the V4 sign-in of the account interface (internal; the SDK facade owns one).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "account/form/code_redemption.hpp"
#include "account/utils/velqo_framework_internal_utils.hpp"
#include "api/models/v4_records.hpp"
#include "core/transport/api_service.hpp"
#include "core/transport/end_points.hpp"
#include "velqo/account/auth_v4_callback.hpp"
#include "velqo/core/oauth_config.hpp"
#include "velqo/core/oauth_token_verifier.hpp"

namespace velqo {

/// Signs one user in with the V4 device proof, or registers this device for the user.
///
/// A device that holds the user's persistent device token and Er1r2 record logs in: it sends a
/// random M1 to "/v4/auth-init", recovers the service's secret from the challenge c2 as M2
/// and proves it at "/v4/verify-cipher"; the token (or the ID token of a redeemed
/// authorization code) is stored as the user's access token and the user as the last user.
/// Any other device registers: the user types a one-time code ("/v4/verify-otp"), the device
/// stores the Er1r2 and persistent device token it receives and confirms them at
/// "/v4/verify-device"; registration issues no token.
///
/// Threads: `authenticate` and `submitOtp` may be called from any thread and run there until
/// the request is handed to the transport. Every callback, errors found before any request
/// included, runs on the main queue. The attempt's fields are guarded by the engine's own
/// lock, which is never held while it calls the host, the transport or the key store.
///
/// Attempts: each `authenticate` starts afresh; answers and errors that belong to an older
/// attempt are dropped, so a late answer can never complete another user's sign-in. Failures
/// leave the attempt's state as it was until the next `authenticate`; success clears it,
/// callback included.
///
/// Ownership: made by `create` and held through std::shared_ptr. Requests in flight and queued
/// callbacks hold the engine weakly: once released it does nothing more. The callback is held
/// weakly too: an attempt whose callback is gone stops silently.
class VelqoAuthV4 : public std::enable_shared_from_this<VelqoAuthV4> {
  // Only `create` can make one: a private constructor keeps it from being an aggregate that
  // `{}` would build anywhere.
  class Passkey {
    Passkey() = default;
    friend class VelqoAuthV4;
  };

 public:
  /// `oauthConfig` enables redeeming authorization codes (its verifier is built here);
  /// `formSession` carries the token-endpoint form POSTs (default: HttpSession::shared()).
  static std::shared_ptr<VelqoAuthV4> create(std::shared_ptr<const ApiService> apiService,
                                             std::optional<VelqoOAuthConfig> oauthConfig, EndPoints endPoints,
                                             std::shared_ptr<platform::HttpSession> formSession = nullptr);
  /// Use `create`.
  VelqoAuthV4(Passkey, std::shared_ptr<const ApiService> apiService,
              std::optional<VelqoOAuthConfig> oauthConfig, EndPoints endPoints,
              std::shared_ptr<platform::HttpSession> formSession);
  ~VelqoAuthV4();
  VelqoAuthV4(const VelqoAuthV4&) = delete;
  VelqoAuthV4& operator=(const VelqoAuthV4&) = delete;

  /// Starts an attempt for `userid` (taken as given: not trimmed or lower-cased) and returns
  /// at once. The outcome reaches `callback`: onOtpRequired for a registration, then
  /// onAuthSuccess or onError.
  void authenticate(const std::string& userid, const std::shared_ptr<AuthV4Callback>& callback);
  /// Sends the one-time code the user typed and returns at once. Without a registration
  /// waiting for a code, the callback gets onError.
  void submitOtp(const std::string& otp);
  /// Makes `userid` the user of the current attempt; the facade calls it after a sign-in.
  void setCurrentUserId(const std::string& userid);

  const std::optional<VelqoOAuthConfig>& oauthConfig() const noexcept { return oauthConfig_; }
  const EndPoints& endPoints() const noexcept { return endPoints_; }

 private:
  struct State;
  using Code = AuthV4ErrorCode;

  void handleAuthInitResponse(std::uint64_t attempt, ApiService::Outcome<AuthInitResponse> result);
  void handleOtpVerificationResponse(std::uint64_t attempt,
                                     ApiService::Outcome<OTPVerificationResponseV4> result);
  void verifyDevice(std::uint64_t attempt);
  void verifyCipher(std::uint64_t attempt, const std::string& m2);
  void handleVerifyDeviceResponse(std::uint64_t attempt, ApiService::Outcome<VerifyDeviceResponseV4> result);
  void handleVerifyCipherResponse(std::uint64_t attempt, ApiService::Outcome<VerifyCipherResponseV4> result);
  void redeemAuthorizationCode(std::uint64_t attempt, const std::string& code);
  void handleCodeRedemptionResult(std::uint64_t attempt, CodeRedemptionResult result);
  void completeLogin(std::uint64_t attempt, std::string accessToken);
  void handleFingerprintError(std::uint64_t attempt, const std::exception& error);
  void reportError(std::uint64_t attempt, Code code, std::string message);
  /// Clears the attempt's fields when `attempt` is still the current one and hands back its
  /// callback (nothing when the attempt is stale or the callback gone).
  std::shared_ptr<AuthV4Callback> finish(std::uint64_t attempt);
  /// The decoded answer for `attempt` with its status; nothing when the attempt is over (the
  /// answer is dropped) or the request failed (reported as a network error after `failure`).
  template <class Response>
  std::pair<Response, long>* answerFor(std::uint64_t attempt, ApiService::Outcome<Response>& result,
                                       const char* failure);
  /// POSTs `body` to `path` of the account base URL; the answer goes to `handler`.
  template <class Response, class Request>
  void post(std::uint64_t attempt, const char* path, const Request& body,
            void (VelqoAuthV4::*handler)(std::uint64_t, ApiService::Outcome<Response>));

  const std::shared_ptr<const ApiService> apiService_;
  const std::optional<VelqoOAuthConfig> oauthConfig_;
  const std::optional<OAuthTokenVerifier> oauthVerifier_;
  const EndPoints endPoints_;
  const std::shared_ptr<VelqoFrameworkInternalUtils> cryptoUtils_;
  const std::shared_ptr<platform::HttpSession> formSession_;
  const std::unique_ptr<State> state_;
};

}  // namespace velqo
