#pragma once

// Web login on the loopback reference service: a web page shows a PIN for a pending web session;
// the phone looks the session up by PIN and approves it with the signed-in user's bearer token.

#include <memory>
#include <string>
#include <vector>

#include "velqo_localservice/access_tokens.hpp"
#include "velqo_localservice/local_service.hpp"

namespace velqo::localservice {

/// Registers POST `basePath` + "/v4/websession-details" and "/v4/websession-approve" on a
/// LocalService for as long as it lives (it must not outlive the service). Thread-safe.
///
/// - Details {"web_pin"} (no bearer): a PIN of an open, unapproved session answers 200
///   {"api_status":true, "data": {"expire_at", "created_at", "status":false, "web_token",
///   "session_details", "web_pin"}, "message"}; any other PIN 400 {"api_status":false,
///   "message":"Invalid or expired PIN"}; a body without a text "web_pin" 422 {"detail"}.
/// - Approve {"token"} with a bearer token of `tokens` (else 401 {"api_status":false,
///   "message":"Not authenticated"}): an open session's web token is approved for the bearer's
///   user, 200 {"api_status":true,"message":"Web session approved"}; an unknown or already
///   approved token 404 {"api_status":false,"message":"Web session not found"}.
class WebLoginPeer {
 public:
  struct Approval {
    std::string webToken;
    std::string userid;
  };

  /// The browser description a session carries unless the test gives its own.
  static constexpr const char* defaultSessionDetails =
      R"({"device_id":"web-1","device_info":{"browser":"Firefox","os":"Linux"},"ip_details":"203.0.113.7",)"
      R"("isp":"Example Net","city":"Lyon","state":"ARA","country":"FR"})";

  WebLoginPeer(LocalService& service, std::shared_ptr<AccessTokens> tokens, std::string basePath = "");
  ~WebLoginPeer();
  WebLoginPeer(const WebLoginPeer&) = delete;
  WebLoginPeer& operator=(const WebLoginPeer&) = delete;

  /// Opens a web session shown with `pin`; `sessionDetailsJson` is sent as "session_details"
  /// verbatim. Returns the session's fresh web token.
  std::string openSession(std::string pin, std::string sessionDetailsJson = defaultSessionDetails);
  /// Approvals accepted so far, oldest first.
  std::vector<Approval> approvals() const;
  /// Details requests take these replies, oldest first, before any checking.
  void enqueueDetailsReply(Reply reply);

  /// Sessions and approvals as a JSON text, so a host can keep them across runs.
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
