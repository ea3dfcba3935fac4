// Push-notification login: push-token registration, login-request fetch for the delegate,
// approve and decline.

#include <exception>
#include <memory>
#include <utility>

#include "account/facade/main_queue_hand_off.hpp"
#include "account/facade/push_record_turn.hpp"
#include "account/facade/velqo_sdk_state.hpp"
#include "account/host_call.hpp"
#include "account/records/last_user_record.hpp"
#include "account/v4/velqo_auth_v4.hpp"
#include "api/models/push_records.hpp"
#include "core/identity/fingerprint_generator.hpp"
#include "platform/diagnostics.hpp"
#include "platform/encoding.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo {
namespace {

constexpr const char* kTag = "[VelqoSDK] ";

platform::PlatformError notAuthenticated() {
  return platform::PlatformError(VelqoSDK::errorDomain, VelqoSDK::notAuthenticatedCode,
                                 "User not authenticated.");
}

// The text form of a failure for the always-written fingerprint line.
std::string describe(const std::exception& error) {
  if (const auto* platformError = dynamic_cast<const platform::PlatformError*>(&error)) {
    return "Error Domain=" + platformError->domain() + " Code=" + std::to_string(platformError->code()) +
           " \"" + platformError->localizedDescription() + "\"";
  }
  return error.what();
}

using PushOutcome = ApiService::Outcome<GenericSuccessResponse>;

}  // namespace

void VelqoSDK::State::registerPushToken(const std::shared_ptr<State>& state) {
  std::optional<Bytes> tokenData;
  std::optional<std::string> lastRegistered;
  {
    std::lock_guard lock(state->mutex);
    tokenData = state->currentApnsTokenData;
    lastRegistered = state->lastRegisteredApnsTokenString;
  }
  if (!tokenData) return;
  // Taken before the user and token are read: a clear that ends after this point changes the
  // stamp, and one that ends before it has already removed what it clears.
  const detail::PushRecordClearStamp stamp = detail::PushRecordTurn().stamp();
  auto signedIn = state->signedInUser();
  if (!signedIn) return;
  const std::string user = signedIn->user;
  const std::string hexToken = platform::hexEncode(*tokenData);
  if (lastRegistered == hexToken) {
    debugLog(std::string(kTag) + "Token is unchanged for user " + user + ". No registration needed.");
    wipe(signedIn->accessToken);
    return;
  }
  std::string fingerprint;
  try {
    fingerprint = FingerprintGenerator::generateFingerprint(user);
  } catch (const std::exception& error) {
    alwaysLog(std::string(kTag) +
              "CRITICAL: Failed to generate fingerprint for push registration. Aborting. Error: " +
              describe(error));
    wipe(signedIn->accessToken);
    return;
  }
  RegisterPushTokenRequest body{hexToken, fingerprint, platform::currentDevice().name};
  std::weak_ptr<State> weakState = state;
  state->apiService->post<GenericSuccessResponse>(
      state->endPoints.authBase + "/v4/push/register-token", body, signedIn->accessToken,
      [weakState, user, hexToken, stamp](PushOutcome outcome) {
        auto s = weakState.lock();
        if (!s || !outcome || outcome.value().second != 200) return;
        // The in-memory record belongs to the user signed in now: an answer for a user who is
        // no longer the last one must not mark the token as registered for another.
        const bool stillLastUser = LastUserRecord::load() == user;
        // Compared and recorded in the push record's turn, which a clear by any facade or
        // process holds throughout: a clear that came after this registration started has
        // changed the stamp, so its removal of the record is never undone.
        bool recorded = false;
        {
          const platform::detail::HeldLines lines;  // written once the turn is over
          const detail::PushRecordTurn turn;
          if (turn.stamp() == stamp) {
            s->userDefaults->setString(lastRegisteredTokenKeyPrefix + user, hexToken);
            if (stillLastUser) {
              std::lock_guard stateLock(s->mutex);
              s->lastRegisteredApnsTokenString = hexToken;
            }
            recorded = true;
          }
        }
        if (!recorded)
          debugLog(std::string(kTag) + "Dropping a push registration answer that predates a clear.");
      });
  wipe(signedIn->accessToken);
}

void VelqoSDK::State::fetchLoginRequestDetails(const std::shared_ptr<State>& state,
                                               const std::string& requestId) {
  auto signedIn = state->signedInUser();
  if (!signedIn) {
    const auto error = notAuthenticated();
    debugLog(std::string(kTag) + "fetchLoginRequestDetails failed: " + error.localizedDescription() +
             ". Current user ID was empty or no JWT found.");
    if (auto delegate = state->delegate()) {
      account::detail::callHost(kTag, [&] { delegate->failedToFetchLoginRequestDetails(error); });
    }
    return;
  }
  std::weak_ptr<State> weakState = state;
  state->apiService->post<PushLoginDetailsResponse>(
      state->endPoints.authBase + "/v4/push/login-request-details", PushActionRequest{requestId},
      signedIn->accessToken,
      account::detail::onNextMainTurn<PushLoginDetailsResponse>([weakState, requestId](const auto& outcome) {
        auto s = weakState.lock();
        auto delegate = s ? s->delegate() : nullptr;
        if (!delegate) return;
        account::detail::callHost(kTag, [&] {
          if (outcome) {
            delegate->didReceiveLoginRequest(requestId, outcome.value().first.data);
          } else {
            delegate->failedToFetchLoginRequestDetails(outcome.error());
          }
        });
      }));
  wipe(signedIn->accessToken);
}

void VelqoSDK::State::performPushAction(const std::string& requestId, const std::string& url,
                                        PushActionCompletion completion) const {
  auto finish = [completion = std::move(completion)](const std::optional<platform::PlatformError>& error) {
    if (completion) account::detail::callHost(kTag, [&] { completion(error); });
  };
  auto signedIn = signedInUser();
  if (!signedIn) {
    const auto error = notAuthenticated();
    debugLog(std::string(kTag) + "performPushAction failed: " + error.localizedDescription() +
             ". Current user ID was empty or no JWT found.");
    finish(error);
    return;
  }
  apiService->post<GenericSuccessResponse>(
      url, PushActionRequest{requestId}, signedIn->accessToken,
      account::detail::onNextMainTurn<GenericSuccessResponse>([finish](const PushOutcome& outcome) {
        if (!outcome) return finish(outcome.error());
        const long status = outcome.value().second;
        if (status != 200) {
          return finish(platform::PlatformError(VelqoSDK::errorDomain, status, "Action failed."));
        }
        finish(std::nullopt);
      }));
  wipe(signedIn->accessToken);
}

void VelqoSDK::setAPNsDeviceToken(const Bytes& token) {
  {
    std::lock_guard lock(state_->mutex);
    state_->currentApnsTokenData = token;
  }
  State::registerPushToken(state_);
}

void VelqoSDK::userDidAuthenticate() {
  State& s = *state_;
  const std::string user = LastUserRecord::load().value_or("");
  if (user.empty()) return;
  s.authV4InternalManager->setCurrentUserId(user);
  if (s.userDefaults->string(State::legacyLastRegisteredTokenKey)) {
    s.userDefaults->remove(State::legacyLastRegisteredTokenKey);
  }
  auto registered = s.userDefaults->string(State::lastRegisteredTokenKeyPrefix + user);
  {
    std::lock_guard lock(s.mutex);
    s.lastRegisteredApnsTokenString = std::move(registered);
  }
  State::registerPushToken(state_);
}

bool VelqoSDK::handlePushNotification(const VelqoPushPayload& userInfo) {
  const VelqoPushValue* value = userInfo.find("request_id");
  const std::string* requestId = value ? value->stringValue() : nullptr;
  if (!requestId) return false;
  debugLog(std::string(kTag) + "Handled push notification with login requestId: " + *requestId);
  State::fetchLoginRequestDetails(state_, *requestId);
  return true;
}

void VelqoSDK::approveLoginRequest(const std::string& requestId, PushActionCompletion completion) {
  state_->performPushAction(requestId, state_->endPoints.authBase + "/v4/push/approve-login-request",
                            std::move(completion));
}

void VelqoSDK::declineLoginRequest(const std::string& requestId, PushActionCompletion completion) {
  state_->performPushAction(requestId, state_->endPoints.authBase + "/v4/push/decline-login-request",
                            std::move(completion));
}

}  // namespace velqo
