#include "velqo/platform/web_auth_session.hpp"

#include <utility>

namespace velqo::platform {
namespace {

std::mutex& factoryMutex() {
  static std::mutex mutex;
  return mutex;
}

WebAuthenticationSessionFactory& installedFactory() {
  static WebAuthenticationSessionFactory factory;
  return factory;
}

void callSafely(const WebAuthenticationSession::Completion& completion, std::optional<std::string> url,
                std::optional<PlatformError> error) noexcept {
  if (!completion) return;
  try {
    completion(std::move(url), std::move(error));
  } catch (...) {
    // A host completion's exception must not unwind into the session.
  }
}

}  // namespace

PlatformError webAuthenticationCancelledError() {
  return PlatformError(domain::webAuthentication, webAuthenticationError::cancelledLogin,
                       "The user cancelled the sign-in.");
}

std::shared_ptr<WebAuthenticationSession> makeWebAuthenticationSession() {
  WebAuthenticationSessionFactory factory;
  {
    std::lock_guard lock(factoryMutex());
    factory = installedFactory();
  }
  if (factory) {
    if (auto session = factory()) return session;
  }
  return CommandLineWebAuthenticationSession::create();
}

void setWebAuthenticationSessionFactory(WebAuthenticationSessionFactory factory) {
  std::lock_guard lock(factoryMutex());
  installedFactory() = std::move(factory);
}

// ---- Scripted session ----

ScriptedWebAuthenticationSession::ScriptedWebAuthenticationSession(Passkey,
                                                                   std::optional<std::string> callbackURL,
                                                                   std::optional<PlatformError> error,
                                                                   bool deliverOnStart)
    : callbackURL_(std::move(callbackURL)), error_(std::move(error)), deliverOnStart_(deliverOnStart) {}

std::shared_ptr<ScriptedWebAuthenticationSession> ScriptedWebAuthenticationSession::succeeding(
    std::string callbackURL, bool deliverOnStart) {
  return std::make_shared<ScriptedWebAuthenticationSession>(Passkey{}, std::move(callbackURL), std::nullopt,
                                                            deliverOnStart);
}

std::shared_ptr<ScriptedWebAuthenticationSession> ScriptedWebAuthenticationSession::failing(
    PlatformError error, bool deliverOnStart) {
  return std::make_shared<ScriptedWebAuthenticationSession>(Passkey{}, std::nullopt, std::move(error),
                                                            deliverOnStart);
}

std::shared_ptr<ScriptedWebAuthenticationSession> ScriptedWebAuthenticationSession::empty(
    bool deliverOnStart) {
  return std::make_shared<ScriptedWebAuthenticationSession>(Passkey{}, std::nullopt, std::nullopt,
                                                            deliverOnStart);
}

bool ScriptedWebAuthenticationSession::start(Parameters parameters, Completion completion) {
  PresentationAnchor anchor = nullptr;
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
  callSafely(completion, callbackURL_, error_);
  return true;
}

void ScriptedWebAuthenticationSession::cancel() {
  Completion completion;
  {
    std::lock_guard lock(mutex_);
    ++cancelCount_;
    completion = std::exchange(pending_, nullptr);
  }
  if (completion) callSafely(completion, std::nullopt, webAuthenticationCancelledError());
}

std::optional<WebAuthenticationSession::Parameters> ScriptedWebAuthenticationSession::startedWith() const {
  std::lock_guard lock(mutex_);
  return started_;
}

PresentationAnchor ScriptedWebAuthenticationSession::anchorSeen() const {
  std::lock_guard lock(mutex_);
  return anchor_;
}

int ScriptedWebAuthenticationSession::cancelCount() const {
  std::lock_guard lock(mutex_);
  return cancelCount_;
}

}  // namespace velqo::platform
