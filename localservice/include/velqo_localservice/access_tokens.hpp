#pragma once

// The bearer tokens the loopback reference service accepts on its account routes (push login,
// web-login approval, the device list), by the user they were issued to. A sign-in peer issues
// them; tests may issue or grant them directly.

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "velqo_localservice/local_service.hpp"

namespace velqo::localservice {

/// Thread-safe map from access token to user id.
class AccessTokens {
 public:
  /// A fresh random token (64 hex characters) for the user.
  std::string issue(const std::string& userid);
  /// Accepts `token` for the user from now on (replacing any earlier owner).
  void grant(const std::string& token, const std::string& userid);
  /// The token is no longer accepted; false when it was not.
  bool revoke(const std::string& token);
  /// The user of the request's "Authorization: Bearer <token>", or nothing when the header is
  /// absent, not a bearer header, or carries an unknown token.
  std::optional<std::string> userOf(const RecordedRequest& request) const;

  /// Every accepted token with its user, as a JSON object text {token: userid}, so a host can
  /// keep them across runs.
  std::string saveState() const;
  /// Adds the tokens of a saveState() text; false (and nothing added) for any other text.
  bool restoreState(const std::string& state);

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> users_;
};

/// Replies scripted by a test, taken oldest first before a route does its own checking.
class ReplyScript {
 public:
  void enqueue(Reply reply);
  std::optional<Reply> next();

 private:
  std::mutex mutex_;
  std::vector<Reply> replies_;
};

}  // namespace velqo::localservice
