#pragma once

// The QR side of the loopback reference service: QR sessions shown "on another screen", the
// approval of a qr_auth code (the "qr_auth_approve" action on the V1 endpoint) and the bind of a
// qr_login code (POST <base path>/auth/qr-bind). Both verify the Ed25519 signature over the exact
// message with the public key registered for the sent h2index.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velqo_localservice/device_key_registry.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/v1_peer.hpp"

namespace velqo::localservice {

/// Registers POST `basePath` + "/auth/qr-bind" on a LocalService for as long as it lives (it must
/// not outlive the service), and offers the V1 answer for qr_auth_approve actions, which a test
/// hands to its V1Peer (`v1.setFallback(qr.approvalAnswer())` or `v1.enqueue(...)`).
/// Thread-safe.
///
/// Approval (V1 envelope {"session", "action": {"type": "qr_auth_approve", "h2index",
/// "signature", "sk2", "rememberDevice", "phoneActionToken"}}): the session must be an open auth
/// session with that phone action token; the signature must verify over session + ":" + nonce +
/// ":approve". Answers 200 with a V1 response on success (the QR session is then used up), else a
/// V1 error envelope: 400 "invalid_request", 404 "qr_session_not_found", 403
/// "invalid_phone_action_token", 404 "device_not_found" ("Device not found"), 401
/// "invalid_signature" ("Invalid signature", also for an sk2 other than the registered one).
///
/// Bind ({"session_id", "nonce", "userid", "h2index", "signature", "sk2", "remember_device"}):
/// the session must be an open bind session with that nonce; the signature must verify over
/// session + ":" + nonce + ":" + userid + ":bind". Answers 200 {"status":"bound","userid":..} on
/// success, else a plain error body {"detail": ...}: 400 (malformed, nonce mismatch), 404
/// "QR session not found", 404 "Device not found", 401 "Invalid signature".
class QrPeer {
 public:
  /// One accepted approval or bind.
  struct Decision {
    enum class Kind { approve, bind };
    Kind kind;
    std::string sessionId;
    std::string userid;  ///< bind only
    std::string h2index;
    bool rememberDevice = false;
  };

  QrPeer(LocalService& service, std::shared_ptr<DeviceKeyRegistry> keys, std::string basePath = "/v1");
  ~QrPeer();
  QrPeer(const QrPeer&) = delete;
  QrPeer& operator=(const QrPeer&) = delete;

  /// Shows a qr_auth code: approvals of `sessionId` must sign `nonce` and carry the token.
  void openAuthSession(std::string sessionId, std::string nonce, std::string phoneActionToken);
  /// Shows a qr_login code.
  void openBindSession(std::string sessionId, std::string nonce);

  /// The answer for the V1 endpoint: qr_auth_approve actions as described above, any other
  /// request 400 "unexpected_action".
  V1Peer::Answer approvalAnswer() const;

  /// Bind requests take these replies, oldest first, before any checking.
  void enqueueBindReply(Reply reply);

  /// Approvals and binds accepted so far, oldest first.
  std::vector<Decision> decisions() const;

  struct State;

 private:
  LocalService& service_;
  std::string bindPath_;
  std::shared_ptr<State> state_;
};

}  // namespace velqo::localservice
