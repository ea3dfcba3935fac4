#pragma once

// A web-authentication session with a preset outcome, for the redirect tests.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "velqo/platform/web_auth_session.hpp"

namespace velqo::testing {

/// A session for tests: answers with a preset outcome. It records how it was started and asks
/// the anchor provider once at start. With `deliverOnStart` the completion runs inside `start`
/// on the caller's thread; otherwise it waits for `deliver()` (on the thread calling it) or
/// `cancel()` (cancelled-login error, on the thread calling it). Thread-safe.
class ScriptedWebAuthenticationSession final : public platform::WebAuthenticationSession {
 public:
  /// Answers with the callback URL.
  static std::shared_ptr<ScriptedWebAuthenticationSession> succeeding(std::string callbackURL,
                                                                      bool deliverOnStart = true);
  /// Answers with the error.
  static std::shared_ptr<ScriptedWebAuthenticationSession> failing(platform::PlatformError error,
                                                                   bool deliverOnStart = true);
  /// Completes with neither a URL nor an error (a platform that reports nothing).
  static std::shared_ptr<ScriptedWebAuthenticationSession> empty(bool deliverOnStart = true);

  bool start(Parameters parameters, Completion completion) override;
  void cancel() override;
  /// Completes a started session with the preset outcome; false when there is nothing pending.
  bool deliver();

  /// The parameters of `start` (without the anchor provider), once started.
  std::optional<Parameters> startedWith() const;
  /// What the anchor provider returned at start (nullptr without a provider).
  platform::PresentationAnchor anchorSeen() const;
  /// How many times `cancel()` was called.
  int cancelCount() const;

 private:
  // Only `create` can make one: a private constructor keeps it from being an aggregate
  // that `{}` would build anywhere.
  class Passkey {
    Passkey() = default;
    friend class ScriptedWebAuthenticationSession;
  };

 public:
  ScriptedWebAuthenticationSession(Passkey, std::optional<std::string> callbackURL,
                                   std::optional<platform::PlatformError> error, bool deliverOnStart);

 private:
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
