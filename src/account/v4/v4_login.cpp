// The V4 login of a known device: the proof M2 at verify-cipher, then the token it answers
// with, or the ID token of a redeemed authorization code, stored for the user.

#include <utility>

#include "account/form/code_redemption.hpp"
#include "account/host_call.hpp"
#include "account/records/last_user_record.hpp"
#include "account/v4/v4_engine_internal.hpp"
#include "core/storage/keychain_manager.hpp"
#include "platform/url.hpp"
#include "velqo/core/debug_sink.hpp"

namespace velqo {

using namespace account::detail::v4;

void VelqoAuthV4::verifyCipher(std::uint64_t attempt, const std::string& m2) {
  std::optional<VerifyCipherRequestV4> request;
  {
    const auto lock = state_->attempts.lock();
    const State& s = *state_;
    if (!s.attempts.isCurrent(lock, attempt)) return;
    if (s.currentUserId && s.currentDeviceInfo && s.currentDeviceTokenPersistent &&
        s.attempts.isListening(lock)) {
      request =
          VerifyCipherRequestV4{*s.currentUserId, m2, *s.currentDeviceInfo, *s.currentDeviceTokenPersistent};
    }
  }
  if (!request) {
    reportError(attempt, Code::internalStateError,
                "User ID, Device Info, Persistent Token, or Callback missing for /verify-cipher.");
    return;
  }
  post<VerifyCipherResponseV4>(attempt, "/v4/verify-cipher", *request,
                               &VelqoAuthV4::handleVerifyCipherResponse);
  wipe(request->device_token);
  wipe(request->m2);
}

void VelqoAuthV4::handleVerifyCipherResponse(std::uint64_t attempt,
                                             ApiService::Outcome<VerifyCipherResponseV4> result) {
  auto* answer = answerFor(attempt, result, "Cipher verification connection failed. ");
  if (!answer) return;
  auto& [response, status] = *answer;
  if (status != 200) {
    reportError(attempt, Code::cipherVerificationFailed,
                answerText(response, withStatus("Cipher verification failed (", status)));
    return;
  }
  if (response.token) {
    completeLogin(attempt, std::move(*response.token));
  } else if (response.code) {
    redeemAuthorizationCode(attempt, *response.code);
  } else {
    reportError(
        attempt, Code::cipherVerificationFailed,
        answerText(response, "Cipher verification response did not include token or authorization code."));
  }
}

void VelqoAuthV4::redeemAuthorizationCode(std::uint64_t attempt, const std::string& code) {
  if (!oauthConfig_ || !oauthVerifier_) {
    reportError(attempt, Code::oauthConfigurationMissing,
                "OAuth configuration is missing. Cannot redeem authorization code.");
    return;
  }
  if (!state_->attempts.isLive(attempt)) return;  // nobody would hear the outcome: nothing is sent
  const auto endpoint = platform::Url::parse(oauthConfig_->tokenEndpoint);
  debugLog(std::string(kTag) + "Redeeming authorization code at OAuth endpoint: " +
           (endpoint ? endpoint->text() : oauthConfig_->tokenEndpoint));
  velqo::redeemAuthorizationCode(
      *oauthConfig_, *oauthVerifier_, code,
      account::detail::forAttempt(*this, attempt, &VelqoAuthV4::handleCodeRedemptionResult), formSession_);
}

void VelqoAuthV4::handleCodeRedemptionResult(std::uint64_t attempt, CodeRedemptionResult result) {
  if (!state_->attempts.isLive(attempt)) return;
  using Kind = CodeRedemptionResult::Kind;
  switch (result.kind) {
    case Kind::exchangeError:
      reportError(attempt, Code::oauthExchangeFailed,
                  "Failed to redeem authorization code. " + result.description);
      return;
    case Kind::exchangeRejected:
      reportError(attempt, Code::oauthExchangeFailed,
                  "Authorization code exchange failed with status " + std::to_string(result.status) + ".");
      return;
    case Kind::verificationFailed:
      reportError(attempt, Code::oauthTokenVerificationFailed, tokenVerificationSentence(result));
      return;
    case Kind::redeemed:
      completeLogin(attempt, std::move(result.idToken));
      return;
  }
}

void VelqoAuthV4::completeLogin(std::uint64_t attempt, std::string accessToken) {
  std::optional<std::string> userId;
  bool listening = false;
  {
    const auto lock = state_->attempts.lock();
    if (!state_->attempts.isCurrent(lock, attempt)) {
      wipe(accessToken);
      return;
    }
    userId = state_->currentUserId;
    listening = state_->attempts.isListening(lock);
  }
  if (!userId) {
    wipe(accessToken);
    reportError(attempt, Code::internalStateError, "User ID missing while completing login.");
    return;
  }
  if (!listening) {
    wipe(accessToken);
    return;
  }
  const bool saved = KeychainManager::saveJWTAccessToken(accessToken, *userId);
  (void)LastUserRecord::save(*userId);  // kept whatever the token save gave
  if (!saved) {
    wipe(accessToken);
    reportError(attempt, Code::keychainSaveFailed, "Failed to save ID token to keychain.");
    return;
  }
  if (auto callback = finish(attempt)) {
    account::detail::callHost(kTag, [&] { callback->onAuthSuccess(accessToken, std::nullopt, true); });
  }
  wipe(accessToken);
}

}  // namespace velqo
