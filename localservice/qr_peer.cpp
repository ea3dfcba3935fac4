#include "velqo_localservice/qr_peer.hpp"

#include <nlohmann/json.hpp>

#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo::localservice {
namespace {

using Json = nlohmann::json;

struct AuthSession {
  std::string nonce;
  std::string phoneActionToken;
};

std::optional<std::string> text(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<bool> flag(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

Reply v1Error(int status, const std::string& session, const std::string& code, const std::string& message,
              const std::string& action = "restart_flow") {
  return V1Peer::answer(session, V1Peer::errorPrompt(code, action, message, false), status, "trace-qr");
}

Reply plainError(int status, const std::string& detail) {
  return Reply::json(status, Json{{"detail", detail}}.dump());
}

// Verifies the base64 Ed25519 signature over the exact message with the registered key (and, when
// the registry knows it, the sent sk2). Returns the failing reason, or nothing.
enum class Proof { ok, unknownDevice, badSignature };

Proof checkProof(const DeviceKeyRegistry& keys, const std::string& h2index, const std::string& sk2,
                 const std::string& signature, const std::string& message) {
  namespace crypto = platform::crypto;
  auto entry = keys.find(h2index);
  if (!entry) return Proof::unknownDevice;
  if (!entry->sk2.empty() && entry->sk2 != sk2) return Proof::badSignature;
  auto raw = platform::base64Decode(signature);
  if (!raw || raw->size() != 64) return Proof::badSignature;
  Bytes publicKey(entry->publicKey.begin(), entry->publicKey.end());
  return crypto::ed25519Verify(crypto::view(publicKey), crypto::view(std::string_view(message)),
                               crypto::view(*raw))
             ? Proof::ok
             : Proof::badSignature;
}

}  // namespace

struct QrPeer::State {
  explicit State(std::shared_ptr<DeviceKeyRegistry> registry) : keys(std::move(registry)) {}

  std::shared_ptr<DeviceKeyRegistry> keys;
  mutable std::mutex mutex;
  std::map<std::string, AuthSession> authSessions;
  std::map<std::string, std::string> bindSessions;  // session -> nonce
  std::deque<Reply> bindScript;
  std::vector<Decision> decisions;

  Reply approve(const V1Exchange& exchange) {
    Json envelope = Json::parse(exchange.request.body, nullptr, false);
    if (!envelope.is_object()) return v1Error(400, "", "invalid_request", "Body is not a V1 envelope");
    const std::string session = text(envelope, "session").value_or("");
    auto action = envelope.find("action");
    if (action == envelope.end() || !action->is_object() || text(*action, "type") != "qr_auth_approve") {
      return v1Error(400, session, "unexpected_action", "Only qr_auth_approve is served here");
    }
    auto h2index = text(*action, "h2index");
    auto signature = text(*action, "signature");
    auto sk2 = text(*action, "sk2");
    auto token = text(*action, "phoneActionToken");
    auto remember = flag(*action, "rememberDevice");
    if (session.empty() || !h2index || !signature || !sk2 || !token || !remember) {
      return v1Error(400, session, "invalid_request", "Malformed qr_auth_approve action", "abort");
    }

    AuthSession open;
    {
      std::lock_guard lock(mutex);
      auto it = authSessions.find(session);
      if (it == authSessions.end())
        return v1Error(404, session, "qr_session_not_found", "QR session not found");
      open = it->second;
    }
    if (*token != open.phoneActionToken) {
      return v1Error(403, session, "invalid_phone_action_token", "Phone action token does not match");
    }
    switch (checkProof(*keys, *h2index, *sk2, *signature, session + ":" + open.nonce + ":approve")) {
      case Proof::unknownDevice:
        return v1Error(404, session, "device_not_found", "Device not found");
      case Proof::badSignature:
        return v1Error(401, session, "invalid_signature", "Invalid signature");
      case Proof::ok:
        break;
    }
    {
      std::lock_guard lock(mutex);
      if (authSessions.erase(session) == 0) {
        return v1Error(404, session, "qr_session_not_found", "QR session not found");  // approved meanwhile
      }
      decisions.push_back(Decision{Decision::Kind::approve, session, {}, *h2index, *remember});
    }
    return V1Peer::answer(session, R"({"type":"qr_approved"})", 200, "trace-qr");
  }

  Reply bind(const RecordedRequest& request) {
    {
      std::lock_guard lock(mutex);
      if (!bindScript.empty()) {
        Reply reply = std::move(bindScript.front());
        bindScript.pop_front();
        return reply;
      }
    }
    Json body = Json::parse(request.body, nullptr, false);
    if (!body.is_object()) return plainError(400, "Body is not a bind request");
    auto session = text(body, "session_id");
    auto nonce = text(body, "nonce");
    auto userid = text(body, "userid");
    auto h2index = text(body, "h2index");
    auto signature = text(body, "signature");
    auto sk2 = text(body, "sk2");
    auto remember = flag(body, "remember_device");
    if (!session || !nonce || !userid || !h2index || !signature || !sk2 || !remember) {
      return plainError(400, "Malformed bind request");
    }
    {
      std::lock_guard lock(mutex);
      auto it = bindSessions.find(*session);
      if (it == bindSessions.end()) return plainError(404, "QR session not found");
      if (it->second != *nonce) return plainError(400, "Nonce does not match the QR session");
    }
    switch (
        checkProof(*keys, *h2index, *sk2, *signature, *session + ":" + *nonce + ":" + *userid + ":bind")) {
      case Proof::unknownDevice:
        return plainError(404, "Device not found");
      case Proof::badSignature:
        return plainError(401, "Invalid signature");
      case Proof::ok:
        break;
    }
    {
      std::lock_guard lock(mutex);
      if (bindSessions.erase(*session) == 0) return plainError(404, "QR session not found");
      decisions.push_back(Decision{Decision::Kind::bind, *session, *userid, *h2index, *remember});
    }
    return Reply::json(200, Json{{"status", "bound"}, {"userid", *userid}}.dump());
  }
};

QrPeer::QrPeer(LocalService& service, std::shared_ptr<DeviceKeyRegistry> keys, std::string basePath)
    : service_(service),
      bindPath_(std::move(basePath) + "/auth/qr-bind"),
      state_(std::make_shared<State>(keys ? std::move(keys) : std::make_shared<DeviceKeyRegistry>())) {
  std::shared_ptr<State> state = state_;
  service_.route("POST", bindPath_, [state](const RecordedRequest& request) { return state->bind(request); });
}

QrPeer::~QrPeer() {
  service_.removeRoute("POST", bindPath_);
}

void QrPeer::openAuthSession(std::string sessionId, std::string nonce, std::string phoneActionToken) {
  std::lock_guard lock(state_->mutex);
  state_->authSessions[std::move(sessionId)] = AuthSession{std::move(nonce), std::move(phoneActionToken)};
}

void QrPeer::openBindSession(std::string sessionId, std::string nonce) {
  std::lock_guard lock(state_->mutex);
  state_->bindSessions[std::move(sessionId)] = std::move(nonce);
}

V1Peer::Answer QrPeer::approvalAnswer() const {
  std::shared_ptr<State> state = state_;
  return [state](const V1Exchange& exchange) { return state->approve(exchange); };
}

void QrPeer::enqueueBindReply(Reply reply) {
  std::lock_guard lock(state_->mutex);
  state_->bindScript.push_back(std::move(reply));
}

std::vector<QrPeer::Decision> QrPeer::decisions() const {
  std::lock_guard lock(state_->mutex);
  return state_->decisions;
}

}  // namespace velqo::localservice
