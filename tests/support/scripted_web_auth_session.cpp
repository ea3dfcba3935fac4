#include "support/scripted_web_auth_session.hpp"

#include <utility>

namespace velqo::testing {

ScriptedWebAuthenticationSession::ScriptedWebAuthenticationSession(
    Passkey, std::optional<std::string> callbackURL, std::optional<platform::PlatformError> error,
    bool deliverOnStart)
    : callbackURL_(std::move(callbackURL)), error_(std::move(error)), deliverOnStart_(deliverOnStart) {}

std::shared_ptr<ScriptedWebAuthenticationSession> ScriptedWebAuthenticationSession::succeeding(
    std::string callbackURL, bool deliverOnStart) {
  return std::make_shared<ScriptedWebAuthenticationSession>(Passkey{}, std::move(callbackURL), std::nullopt,
                                                            deliverOnStart);
}

std::shared_ptr<ScriptedWebAuthenticationSession> ScriptedWebAuthenticationSession::failing(
    platform::PlatformError error, bool deliverOnStart) {
  return std::make_shared<ScriptedWebAuthenticationSession>(Passkey{}, std::nullopt, std::move(error),
                                                            deliverOnStart);
}

std::shared_ptr<ScriptedWebAuthenticationSession> ScriptedWebAuthenticationSession::empty(
    bool deliverOnStart) {
  return std::make_shared<ScriptedWebAuthenticationSession>(Passkey{}, std::nullopt, std::nullopt,
                                                            deliverOnStart);
}

bool ScriptedWebAuthenticationSession::start(Parameters parameters, Completion completion) {
  platform::PresentationAnchor anchor = nullptr;
  if (parameters.presentationAnchorProvider) anchor = parameters.presentationAnchorProvider();
  parameters.presentationAnchorProvider = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (started_) return false;
    started_ = std::move(parameters);
    anchor_ = anchor;
    pending_ = std::move(completion);
  }
  if (deliverOnStart_) deliver();
  return true;
}

bool ScriptedWebAuthenticationSession::deliver() {
  Completion completion;
  {
    std::lock_guard lock(mutex_);
    completion = std::exchange(pending_, nullptr);
  }
  if (!completion) return false;
  completion(callbackURL_, error_);
  return true;
}

void ScriptedWebAuthenticationSession::cancel() {
  Completion completion;
  {
    std::lock_guard lock(mutex_);
    ++cancelCount_;
    completion = std::exchange(pending_, nullptr);
  }
  if (completion) completion(std::nullopt, platform::webAuthenticationCancelledError());
}

std::optional<platform::WebAuthenticationSession::Parameters> ScriptedWebAuthenticationSession::startedWith()
    const {
  std::lock_guard lock(mutex_);
  return started_;
}

platform::PresentationAnchor ScriptedWebAuthenticationSession::anchorSeen() const {
  std::lock_guard lock(mutex_);
  return anchor_;
}

int ScriptedWebAuthenticationSession::cancelCount() const {
  std::lock_guard lock(mutex_);
  return cancelCount_;
}

}  // namespace velqo::testing
