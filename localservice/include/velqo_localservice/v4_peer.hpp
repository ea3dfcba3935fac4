#pragma once

// The V4 endpoints of the loopback reference service: registration with a one-time code and
// the device-proof login. Each device gets its own Paillier key whose primes are split into a
// share kept by the device (Er1r2) and one kept here (e12), sealed under a per-device key R3
// that reaches the device only as er3, locked with a digest of the device's share. A login
// challenge c2 encrypts a fresh secret with the client's M1 as generator; verify-cipher
// accepts only that secret back as M2.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/token_endpoint.hpp"

namespace velqo::localservice {

/// Registers POST "/v4/auth-init", "/v4/verify-otp", "/v4/verify-device" and
/// "/v4/verify-cipher" on a LocalService for as long as it lives (it must not outlive the
/// service, nor the token endpoint it is given). State is kept per peer; thread-safe.
///
/// Answers (JSON; failures are {"detail"}):
/// - auth-init without device_token/cipher: 201 {"device_token": session, "message"}; a
///   one-time code is issued for the session (read it with `otpFor`).
/// - auth-init with device_token, cipher (M1), h1 and h2 of a verified device of that user:
///   200 {"c2", "e12", "er3", "message"}; 401 for an unknown device or wrong hashes, 400 for an
///   M1 that is not a decimal number in [2, N).
/// - verify-otp: with the right code, 200 {"device_token": persistent, "Er1r2", "message"} (a
///   new key for the device), or {"code", "expires_in"} in code mode; 400 otherwise.
/// - verify-device with the user, persistent token and h1/h2 of a registered device: 200
///   {"message", "userid", "is_new_user"}; 400 otherwise.
/// - verify-cipher with the challenge's secret as m2: 200 {"token": ID token} or
///   {"code", "expires_in"} in code mode; 401 otherwise. A challenge answers once.
/// ID tokens (direct or redeemed) are ES256 with subject = the user id, audience = `clientId`.
class V4Peer {
 public:
  struct Settings {
    std::string clientId = "velqo-v4-client";
    int primeBits = 512;  ///< bits of each prime (N has twice as many)
    /// verify-otp and verify-cipher hand out authorization codes for the token endpoint
    /// instead of device records and tokens.
    bool registrationIssuesCode = false;
    bool loginIssuesCode = false;
    /// c2 encrypts another secret than the one verify-cipher expects (a lying service).
    bool misleadingChallenge = false;
    /// Told of every one-time code the service "sends" (user id, code); runs on a service
    /// worker thread.
    std::function<void(const std::string& userId, const std::string& code)> onCodeSent;
    /// Told of every ID token verify-cipher hands out directly (user id, token), so a host can
    /// accept it as a bearer token elsewhere; runs on a service worker thread.
    std::function<void(const std::string& userId, const std::string& token)> onTokenIssued;
    /// Runs on the server thread before each request is looked at (tests hold answers back).
    std::function<void()> beforeAnswering;
  };

  V4Peer(LocalService& service, TokenEndpoint* tokens, Settings settings);
  explicit V4Peer(LocalService& service, TokenEndpoint* tokens = nullptr)
      : V4Peer(service, tokens, Settings{}) {}
  ~V4Peer();
  V4Peer(const V4Peer&) = delete;
  V4Peer& operator=(const V4Peer&) = delete;

  /// The base URL the account endpoints take ("http://127.0.0.1:<port>").
  std::string baseURL() const;
  void setSettings(Settings settings);

  /// The one-time code of the user's latest registration session.
  std::optional<std::string> otpFor(const std::string& userId) const;
  /// Devices of the user that completed verify-device.
  std::size_t verifiedDevices(const std::string& userId) const;
  /// Logins proven with a correct M2.
  std::size_t provenLogins() const;

  /// Registration sessions and devices (open challenges excepted) as a JSON text, so a host
  /// can keep them across runs.
  std::string saveState() const;
  /// Replaces them with those of a saveState() text; false (and nothing changed) for any
  /// other text.
  bool restoreState(const std::string& state);

  struct State;

 private:
  LocalService& service_;
  std::shared_ptr<State> state_;
};

}  // namespace velqo::localservice
