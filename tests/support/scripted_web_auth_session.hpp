#pragma once

// A web-authentication session with a preset outcome, for the redirect tests.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "velqo/platform/web_auth_session.hpp"

namespace velqo::testing {

/// A session for tests: answers with a preset outcome. It records how it was started and asks
/// the anchor provider once at start. With `deliverOnStart` the completion runs inside `start`
/// on the caller's thread; otherwise it waits for `deliver()` (on the thread calling it) or
/// `cancel()` (cancelled-login error, on the thread calling it). Thread-safe.
class ScriptedWebAuthenticationSession final : public platform::WebAuthenticationSession {
 public:
  using Pointer = std::shared_ptr<ScriptedWebAuthenticationSession>;

  /// Answers with the callback URL.
  static Pointer succeeding(std::string callbackURL, bool deliverOnStart = true) {
    return Pointer(
        new ScriptedWebAuthenticationSession(std::move(callbackURL), std::nullopt, deliverOnStart));
  }
  /// Answers with the error.
  static Pointer failing(platform::PlatformError error, bool deliverOnStart = true) {
    return Pointer(new ScriptedWebAuthenticationSession(std::nullopt, std::move(error), deliverOnStart));
  }
  /// Completes with neither a URL nor an error (a platform that reports nothing).
  static Pointer empty(bool deliverOnStart = true) {
    return Pointer(new ScriptedWebAuthenticationSession(std::nullopt, std::nullopt, deliverOnStart));
  }

  bool start(Parameters parameters, Completion completion) override {
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
  void cancel() override {
    if (auto completion = take(true)) completion(std::nullopt, platform::webAuthenticationCancelledError());
  }
  /// Completes a started session with the preset outcome; false when there is nothing pending.
  bool deliver() {
    auto completion = take(false);
    if (completion) completion(callbackURL_, error_);
    return static_cast<bool>(completion);
  }

  /// The parameters of `start` (without the anchor provider), once started.
  std::optional<Parameters> startedWith() const {
    std::lock_guard lock(mutex_);
    return started_;
  }
  /// What the anchor provider returned at start (nullptr without a provider).
  platform::PresentationAnchor anchorSeen() const {
    std::lock_guard lock(mutex_);
    return anchor_;
  }
  /// How many times `cancel()` was called.
  int cancelCount() const {
    std::lock_guard lock(mutex_);
    return cancelCount_;
  }

 private:
  ScriptedWebAuthenticationSession(std::optional<std::string> callbackURL,
                                   std::optional<platform::PlatformError> error, bool deliverOnStart)
      : callbackURL_(std::move(callbackURL)), error_(std::move(error)), deliverOnStart_(deliverOnStart) {}

  // The pending completion, handed out once (called outside the lock).
  Completion take(bool cancelling) {
    std::lock_guard lock(mutex_);
    if (cancelling) ++cancelCount_;
    return std::exchange(pending_, nullptr);
  }

  const std::optional<std::string> callbackURL_;
  const std::optional<platform::PlatformError> error_;
  const bool deliverOnStart_;

  mutable std::mutex mutex_;
  std::optional<Parameters> started_;
  platform::PresentationAnchor anchor_ = nullptr;
  Completion pending_;
  int cancelCount_ = 0;
};

}  // namespace velqo::testing
