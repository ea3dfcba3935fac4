#pragma once

// The web-authentication session: opens a sign-in page for the user and hands back the URL the
// page finally sends the browser to (the callback URL with the host application's scheme).

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"

namespace velqo::platform {

/// Codes of errors of `domain::webAuthentication`.
namespace webAuthenticationError {
/// The user (or a `cancel()` call) ended the session before a callback URL arrived.
inline constexpr long cancelledLogin = 1;
/// The session could not present its page (no presentation anchor).
inline constexpr long presentationContextNotProvided = 2;
}  // namespace webAuthenticationError

/// An error of the web-authentication domain with the cancelled-login code.
VELQO_API PlatformError webAuthenticationCancelledError();

/// An opaque handle of the window a session presents its page over; hosts without windows
/// pass nullptr.
using PresentationAnchor = void*;
/// Asked by a session for the window to present over, on the thread that starts the session.
using PresentationAnchorProvider = std::function<PresentationAnchor()>;

/// One sign-in page shown to the user. A session is started once; it then completes exactly
/// once with either the callback URL (no error) or an error (no URL), unless it is destroyed
/// first. `cancel()` of a running session completes it with the cancelled-login error.
/// Implementations choose the completion thread and document it; the completion is never
/// called while `start` or `cancel` holds a lock of the session, so it may call them.
class VELQO_API WebAuthenticationSession {
 public:
  using Completion =
      std::function<void(std::optional<std::string> callbackURL, std::optional<PlatformError> error)>;

  /// What a session is started with.
  struct Parameters {
    std::string url;                            ///< the page to open
    std::optional<std::string> callbackScheme;  ///< the scheme whose URL ends the session
    bool prefersEphemeralSession = false;       ///< ask for a browser session without shared cookies
    PresentationAnchorProvider presentationAnchorProvider;  ///< may be empty
  };

  virtual ~WebAuthenticationSession() = default;
  /// Starts the session and returns at once; false (and no completion) when this session was
  /// started before.
  virtual bool start(Parameters parameters, Completion completion) = 0;
  /// Ends a running session (its completion receives the cancelled-login error); does nothing
  /// for a session that is not running.
  virtual void cancel() = 0;
};

/// Makes the sessions that `makeWebAuthenticationSession` hands out.
using WebAuthenticationSessionFactory = std::function<std::shared_ptr<WebAuthenticationSession>()>;

/// A new session from the installed factory; without one (or when it returns nullptr), a
/// `CommandLineWebAuthenticationSession` on standard input and standard error. Thread-safe.
VELQO_API std::shared_ptr<WebAuthenticationSession> makeWebAuthenticationSession();
/// Installs the factory the host's sessions come from; an empty function restores the default.
/// Thread-safe.
VELQO_API void setWebAuthenticationSessionFactory(WebAuthenticationSessionFactory factory);

/// A session for command-line hosts: writes the page's URL to the output (standard error by
/// default) and asks the user to paste the callback URL, then reads lines from the input
/// (standard input by default) on a worker thread of its own, never blocking the caller. A line
/// whose scheme is the callback scheme (any letter case) completes the session with that line
/// (trimmed); another non-empty line is answered with a hint and the next line is read; an empty
/// line, the end of the input or a read failure completes it with the cancelled-login error, as
/// does `cancel()`. Completions run on the worker thread. Lines longer than 64 KiB are refused.
/// Destroying a running session stops the worker without a completion, unless it was cancelled
/// (the cancellation is still reported). Only one session should read a given input at a time.
class VELQO_API CommandLineWebAuthenticationSession final : public WebAuthenticationSession {
 public:
  struct Options {
    int inputFd = 0;                                 ///< read, never closed
    std::function<void(const std::string&)> output;  ///< receives the prompt text; default: stderr
  };

  static std::shared_ptr<CommandLineWebAuthenticationSession> create(Options options);
  static std::shared_ptr<CommandLineWebAuthenticationSession> create() { return create(Options{}); }
  ~CommandLineWebAuthenticationSession() override;

  bool start(Parameters parameters, Completion completion) override;
  void cancel() override;

  struct Worker;  // internal

 private:
  // Only `create` can make one: a private constructor keeps it from being an aggregate
  // that `{}` would build anywhere.
  class Passkey {
    Passkey() = default;
    friend class CommandLineWebAuthenticationSession;
  };

 public:
  CommandLineWebAuthenticationSession(Passkey, Options options);

 private:
  Options options_;
  std::mutex mutex_;
  std::shared_ptr<Worker> worker_;
};

}  // namespace velqo::platform
