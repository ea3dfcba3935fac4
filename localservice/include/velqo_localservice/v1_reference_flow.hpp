#pragma once

// A V1 service that runs whole flows by itself, for the command-line host, the demo and the
// end-to-end tests: where V1Peer answers from a per-test script, this answers like a small
// real service. It sends one-time codes (hands them to a callback, as a local emulator prints
// them), sets devices up and proves them with Ed25519 challenges, approves sign-ins from QR
// codes, and redeems its authorization codes at its token endpoint. Users and devices may be
// kept in a state file, so a second process finds the devices the first one registered.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "velqo_localservice/device_key_registry.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/qr_peer.hpp"
#include "velqo_localservice/token_endpoint.hpp"
#include "velqo_localservice/v1_peer.hpp"

namespace velqo::localservice {

/// A one-time code the service "sends".
struct SentCode {
  std::string session;
  std::string identifier;   ///< normalised (trimmed, lower-case)
  std::string destination;  ///< masked, as the enter_code prompt shows it
  std::string code;         ///< six digits
};

struct V1ReferenceOptions {
  /// Path of the V1 endpoint's base ("/v1": requests go to "/v1/auth").
  std::string basePath = "/v1";
  /// Users and registered devices are read from this JSON file when it exists and written
  /// back (atomically, mode 0600) whenever they change. Absent: kept in memory only.
  std::optional<std::filesystem::path> stateFile;
  /// Accepted for every code prompt besides the code that was sent. Absent: only sent codes.
  std::optional<std::string> developmentCode;
  /// Receives every code the service sends; runs on a service worker thread.
  std::function<void(const SentCode&)> onCodeSent;
  /// Receives, for every redirect sign-in, the callback URL the finished sign-in page sends the
  /// browser to ("velqocli://callback?code=...&state=..."): a host without a browser hands it on.
  /// Runs on a service worker thread.
  std::function<void(const std::string& session, const std::string& callbackUrl)> onRedirect;
  /// A code may be resent this long after it was sent ("resendAt" of the prompt).
  std::chrono::seconds resendDelay{5};
  /// Lifetime of sessions, codes and QR approvals.
  std::chrono::seconds sessionLifetime{300};
  /// "pollInterval" of await_approval prompts, in seconds.
  std::int64_t pollInterval = 1;
};

/// The V1 flows it runs (all actions go to POST basePath + "/auth"):
///
/// - start: a sign-in whose stored device credentials (keyset, hindex, sk2) match a device
///   registered for the same identifier goes straight to device_challenge. Any other start
///   (unknown or stale credentials, a sign-up, an account flow) gets select_method with phase
///   "primary" and the methods "email_otp" or "sms_otp" (by the identifier's kind; both for
///   other identifiers), "qr_approval" and "oauth_redirect". Unknown users are created on the
///   fly.
/// - select_method: "email_otp"/"sms_otp" send a code and answer enter_code; "qr_approval"
///   opens a qr_auth session and answers await_approval whose qrData is the QR payload JSON;
///   "oauth_redirect" answers redirect to its sign-in page (GET "/oauth/authorize?state=..."
///   shows the callback URL too) with return scheme "velqocli".
/// - oauth_callback: the code and state of that callback URL lead to setup_device; others
///   answer "invalid_callback".
/// - submit_code: the sent code (or the development code) leads to setup_device; a wrong code
///   answers the error "invalid_code" (action "retry_input"), an expired one "expired_code".
/// - resend: a new code once "resendAt" has passed (else "rate_limited", action "wait").
/// - poll: await_approval again until a device of the same user approved the QR code, then
///   setup_device; "session_expired" after the session's lifetime.
/// - request_challenge: opens the keyset with sk2 (the public key and the combined salt) and
///   answers device_challenge with a random base64 challenge; a keyset that does not open
///   answers "decryption_failed".
/// - submit_signature: verifies the Ed25519 signature over the challenge followed by the
///   domain (the configuration id); success registers the device (set-up) and answers
///   completed with an authorization code redeemable at the token endpoint (client id = the
///   "X-Config-Id" of the flow, PKCE against the start's code challenge); a bad signature
///   answers "invalid_signature".
/// - cancel: the error "cancelled" (action "abort"). qr_auth_approve: the QR peer's answer.
/// - Unknown sessions answer "session_not_found" (action "restart_flow").
///
/// Thread-safe; must not outlive the LocalService it serves on.
class V1ReferenceFlow {
 public:
  /// Registers its routes on `service`. Throws std::runtime_error when the state file exists
  /// but cannot be read as a state file.
  explicit V1ReferenceFlow(LocalService& service, V1ReferenceOptions options = {});
  ~V1ReferenceFlow();
  V1ReferenceFlow(const V1ReferenceFlow&) = delete;
  V1ReferenceFlow& operator=(const V1ReferenceFlow&) = delete;

  /// The base URL a V1 client takes ("http://127.0.0.1:<port>/v1").
  std::string baseURL() const;
  /// The token endpoint ("http://127.0.0.1:<port>/oauth/token").
  std::string tokenEndpointURL() const;
  /// The PEM public key that verifies its ID tokens (ES256).
  std::string idTokenPublicKeyPem() const;

  /// Devices registered (set up and proven) so far, loaded ones included.
  std::size_t registeredDeviceCount() const;
  /// Completed flows so far, and how many of them proved a device that was already registered
  /// (a returning sign-in).
  std::size_t completedFlowCount() const;
  std::size_t returningDeviceCount() const;

  /// Shows a qr_login code "on another screen" and returns its payload text
  /// ({"type":"qr_login","session_id","nonce"}).
  std::string openQrLoginSession();

  /// The parts it is made of: the V1 endpoint (every request it received), the QR peer and
  /// the token endpoint.
  V1Peer& peer() noexcept;
  QrPeer& qr() noexcept;
  TokenEndpoint& tokens() noexcept;

  struct State;

 private:
  LocalService& service_;
  std::shared_ptr<State> state_;
};

}  // namespace velqo::localservice
