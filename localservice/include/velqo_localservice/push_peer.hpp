#pragma once

// Push login on the loopback reference service: push-token registration, login requests that a
// test raises "from a browser", their details, approval and decline.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velqo_localservice/access_tokens.hpp"
#include "velqo_localservice/local_service.hpp"

namespace velqo::localservice {

/// Registers the four POST routes under `basePath` on a LocalService for as long as it lives (it
/// must not outlive the service). Thread-safe.
///
/// Every route needs a bearer token known to `tokens` (else 401 {"detail":"Not authenticated"})
/// and a JSON object body with the route's text fields (else 422 {"detail": ...}).
/// - "/v4/push/register-token" {"push_token", "device_fingerprint", "device_name"}: the push token
///   must be non-empty hexadecimal; records the registration and answers 200 {"success":true}.
/// - "/v4/push/login-request-details" {"request_id"}: a request raised for the bearer's user
///   (else 404 {"detail":"Login request not found"}); answers 200 {"success":true,"data":
///   {"request_id", "ip_address", "location" (when known), "browser", "timestamp"}}.
/// - "/v4/push/approve-login-request" and "/v4/push/decline-login-request" {"request_id"}: a
///   pending request of the bearer's user (404 as above; 409 {"success":false,"detail":"Login
///   request already answered"} once answered); answers 200 {"success":true}.
class PushPeer {
 public:
  struct Registration {
    std::string userid;
    std::string pushToken;
    std::string deviceFingerprint;
    std::string deviceName;
  };
  /// A login request as a browser raised it.
  struct LoginRequest {
    std::string ipAddress = "203.0.113.7";
    std::optional<std::string> location;
    std::string browser = "Firefox on Linux";
    std::string timestamp = "2026-01-01T12:00:00Z";
  };
  enum class Decision { pending, approved, declined };

  PushPeer(LocalService& service, std::shared_ptr<AccessTokens> tokens, std::string basePath = "");
  ~PushPeer();
  PushPeer(const PushPeer&) = delete;
  PushPeer& operator=(const PushPeer&) = delete;

  /// Raises a login request of the user and returns its fresh id.
  std::string raiseLoginRequest(std::string userid, LoginRequest request);
  std::string raiseLoginRequest(std::string userid);
  /// Nothing for an unknown id.
  std::optional<Decision> decision(const std::string& requestId) const;
  /// Accepted registrations, oldest first.
  std::vector<Registration> registrations() const;
  /// Registrations take these replies, oldest first, before any checking.
  void enqueueRegistrationReply(Reply reply);
  /// Runs on the server thread when a registration arrives, before anything else (tests hold
  /// answers back with it); an empty function removes it.
  void setBeforeRegistration(std::function<void()> hook);

  /// Registrations and login requests with their decisions as a JSON text, so a host can keep
  /// them across runs.
  std::string saveState() const;
  /// Replaces them with those of a saveState() text; false (and nothing changed) for any
  /// other text.
  bool restoreState(const std::string& state);

  struct State;

 private:
  LocalService& service_;
  std::string basePath_;
  std::shared_ptr<State> state_;
};

}  // namespace velqo::localservice
