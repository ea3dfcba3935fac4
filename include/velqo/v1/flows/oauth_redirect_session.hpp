#pragma once

// The OAuth redirect of a V1 flow: opens the redirect page in the platform's web-authentication
// session and hands back the callback URL the browser was sent to.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/platform/result.hpp"
#include "velqo/platform/web_auth_session.hpp"

namespace velqo {

/// Why a redirect gave no callback URL: `failed` (the web-authentication session's error
/// description), `cancelled` (the user or `cancel()` ended it), `invalidCallback` (no callback
/// scheme was given, or the session ended without a URL). Equality: same case and payload.
///
/// As a platform error: domain "VelqoV1OAuthRedirectError", code = the case's position,
/// description = the failure's description (for `failed`) or a fixed text.
class VELQO_API VelqoV1OAuthRedirectError : public platform::PlatformError {
 public:
  enum class Case { failed, cancelled, invalidCallback };

  static VelqoV1OAuthRedirectError failed(std::string description);
  static VelqoV1OAuthRedirectError cancelled();
  static VelqoV1OAuthRedirectError invalidCallback();

  Case errorCase() const noexcept { return case_; }
  /// The payload of `failed` (empty for the other cases).
  const std::string& failureDescription() const noexcept { return description_; }

  friend bool operator==(const VelqoV1OAuthRedirectError& a, const VelqoV1OAuthRedirectError& b) {
    return a.case_ == b.case_ && a.description_ == b.description_;
  }

 private:
  VelqoV1OAuthRedirectError(Case c, std::string description, const std::string& text);
  Case case_;
  std::string description_;
};

/// Runs one web-authentication session at a time for the host application.
///
/// The platform session comes from `platform::makeWebAuthenticationSession()` (a host installs
/// its own with `platform::setWebAuthenticationSessionFactory`). When the platform session asks
/// for a window, this object answers with `presentationAnchor()`; it is held weakly for that.
///
/// Threads: `start` and `cancel` may be called from any thread. The completion of a missing
/// callback scheme runs synchronously inside `start`; every other completion runs where the
/// platform session delivers its result (the library moves it to no other thread).
///
/// Ownership: made by `create`, held through std::shared_ptr. It holds the session under way
/// (`start` releases a previous one without cancelling it); the platform session holds the
/// completion. Each started session completes at most once; a session released before it
/// completes may never call its completion (the command-line session does not). Exceptions
/// thrown by a completion are caught and dropped.
class VELQO_API VelqoV1OAuthRedirectSession
    : public std::enable_shared_from_this<VelqoV1OAuthRedirectSession> {
 public:
  using RedirectResult = Result<std::string, VelqoV1OAuthRedirectError>;
  using Completion = std::function<void(const RedirectResult&)>;

  static std::shared_ptr<VelqoV1OAuthRedirectSession> create(
      platform::PresentationAnchorProvider presentationAnchorProvider);
  VelqoV1OAuthRedirectSession(const VelqoV1OAuthRedirectSession&) = delete;
  VelqoV1OAuthRedirectSession& operator=(const VelqoV1OAuthRedirectSession&) = delete;

  /// Opens `url` and returns at once. `callbackScheme` absent or empty: `invalidCallback` at
  /// once. A scheme given as a whole URL ("myapp://callback") is reduced to its scheme. The
  /// completion receives the callback URL, or `cancelled` for the platform's cancelled-login
  /// error, `failed` for any other web-authentication error, `invalidCallback` when the session
  /// ends without a URL.
  void start(const std::string& url, const std::optional<std::string>& callbackScheme,
             bool prefersEphemeralSession, Completion completion);

  /// Cancels the session under way, if any, and forgets it; its completion then receives what
  /// the platform reports (`cancelled` for the platform sessions of this library).
  void cancel();

  /// The window to present over: what the provider given at creation returns (nullptr without
  /// one). Asked by the platform session.
  platform::PresentationAnchor presentationAnchor() const;

  /// True while a session is held (from `start` until `cancel`).
  bool hasSession() const;

 private:
  // Only `create` can make one: a private constructor keeps it from being an aggregate
  // that `{}` would build anywhere.
  class Passkey {
    Passkey() = default;
    friend class VelqoV1OAuthRedirectSession;
  };

 public:
  /// Use `create`.
  VelqoV1OAuthRedirectSession(Passkey, platform::PresentationAnchorProvider presentationAnchorProvider);

 private:
  const platform::PresentationAnchorProvider presentationAnchorProvider_;
  mutable std::mutex mutex_;
  std::shared_ptr<platform::WebAuthenticationSession> authSession_;
};

}  // namespace velqo
