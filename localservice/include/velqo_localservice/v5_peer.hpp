#pragma once

// The V5 sign-in side of the loopback reference service: registration with a one-time code
// (auth-init, verify-otp, verify-device) and login by a signed challenge (auth-init with the
// hash index and sk2, verify-cipher), with real cryptography: the keyset received at
// verify-otp is opened with the sk2 of each login, and the Ed25519 signature over the challenge
// followed by the domain is verified with the public key inside it.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velqo_localservice/access_tokens.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/token_endpoint.hpp"

namespace velqo::localservice {

/// Registers POST `basePath` + "/v5/auth-init", "/v5/verify-otp", "/v5/verify-device" and
/// "/v5/verify-cipher" on a LocalService for as long as it lives (it must not outlive the service,
/// nor the token endpoint it is given). Thread-safe.
///
/// - auth-init without "hindex": a registration; answers {"device_token", "message"}.
/// - verify-otp: the device token of a registration and the expected code, else 400 {"detail":
///   "Invalid OTP"}; keeps the keyset and hindex; answers {"device_token", "message"}.
/// - verify-device: a registration whose code was verified, the same user and hindex, else 400
///   {"detail"}; the device is then known under its hindex; answers {"userid", "is_new_user",
///   "message"}.
/// - auth-init with "hindex" and "sk2": 400 {"detail": "hindex not found in database"} for an
///   unknown hindex, 401 {"detail": "Invalid sk2"} when the stored keyset does not open with sk2
///   or the user differs; else a fresh 32-byte challenge (lower-case hex) and "r2" = the combined
///   salt from the keyset (base64).
/// - verify-cipher: the open challenge of that hindex, the device token and user it was registered
///   with, "mapp" = base64 of challenge || domain and a valid signature over it, else 401
///   {"detail"}; the challenge is then used up. Answers by `Ending`: {"token", "expires_in"},
///   {"code", "expires_in"} (the code is registered at the token endpoint for `clientId`), or
///   {"session_id", "detail"}.
class V5Peer {
 public:
  enum class Ending { token, code, sessionId };

  struct Options {
    std::string basePath;                    ///< path of the account base URL ("" for the root)
    std::string otp = "123456";              ///< the code every registration expects
    std::string domain = "127.0.0.1";        ///< the domain signed after the challenge
    std::string clientId = "client-v5";      ///< the client the issued codes belong to
    TokenEndpoint* tokenEndpoint = nullptr;  ///< where issued codes are registered
  };
  using Hook = std::function<void(const std::string& userId, const std::string& value)>;

  /// One accepted verify-cipher.
  struct Login {
    std::string userid;
    std::string hindex;
    std::string issued;  ///< the token, code or session id answered
  };

  V5Peer(LocalService& service, Options options);
  ~V5Peer();
  V5Peer(const V5Peer&) = delete;
  V5Peer& operator=(const V5Peer&) = delete;

  /// Issued tokens are granted here from now on, so the account routes accept them as bearers.
  void grantTokensTo(std::shared_ptr<AccessTokens> tokens);
  /// Told of every registration's code as the service "sends" it (user id, code); runs on a
  /// service worker thread.
  void setOnCodeSent(Hook hook);
  /// Told of every token verify-cipher answers (user id, token), so a host can accept it as a
  /// bearer token elsewhere; runs on a service worker thread.
  void setOnTokenIssued(Hook hook);
  /// How the next verify-cipher answers end (default: token).
  void setEnding(Ending ending);
  /// Logins (auth-init with "hindex") take these replies, oldest first, before any checking.
  void enqueueLoginReply(Reply reply);
  /// The next request to `path` (one of the four paths above, without the base path) is handled
  /// as usual, then its connection is closed without an answer: an answer lost after the
  /// service acted on it.
  void loseNextAnswer(const std::string& path);
  /// Forgets every device, as a service that lost its records.
  void forgetDevices();
  /// Devices known now, and registrations completed so far.
  std::size_t deviceCount() const;
  std::size_t registrationCount() const;
  std::vector<Login> logins() const;

  /// Registrations and devices (open challenges excepted) as a JSON text, so a host can keep
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
