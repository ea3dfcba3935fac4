#include "velqo_localservice/web_login_peer.hpp"

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>
#include <utility>

#include "account_peer_support.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo::localservice {
namespace {

constexpr const char* kDetailsPath = "/v4/websession-details";
constexpr const char* kApprovePath = "/v4/websession-approve";

Reply statusReply(int status, bool ok, const std::string& message) {
  nlohmann::ordered_json body;
  body["api_status"] = ok;
  body["message"] = message;
  return Reply::json(status, body.dump());
}

}  // namespace

struct WebLoginPeer::State {
  explicit State(std::shared_ptr<AccessTokens> t) : tokens(std::move(t)) {}

  struct Session {
    std::string pin;
    std::string sessionDetailsJson;
    bool approved = false;
  };

  std::shared_ptr<AccessTokens> tokens;
  ReplyScript detailsScript;
  mutable std::mutex mutex;
  std::map<std::string, Session> sessions;  // by web token
  std::vector<Approval> approvals;

  Reply details(const RecordedRequest& request) {
    if (auto scripted = detailsScript.next()) return *scripted;
    auto body = readFields(request.body, {"web_pin"});
    if (!body) return detailReply(422, "Malformed web-login request");
    const std::string& pin = body->at("web_pin");
    std::lock_guard lock(mutex);
    for (const auto& [token, session] : sessions) {
      if (session.approved || session.pin != pin) continue;
      nlohmann::ordered_json data;
      data["expire_at"] = "2026-01-01T12:05:00Z";
      data["created_at"] = "2026-01-01T12:00:00Z";
      data["status"] = false;
      data["web_token"] = token;
      data["session_details"] = nlohmann::ordered_json::parse(session.sessionDetailsJson);
      data["web_pin"] = pin;
      nlohmann::ordered_json answer;
      answer["api_status"] = true;
      answer["data"] = std::move(data);
      answer["message"] = "Web session found";
      return Reply::json(200, answer.dump());
    }
    return statusReply(400, false, "Invalid or expired PIN");
  }

  Reply approve(const RecordedRequest& request) {
    auto user = tokens->userOf(request);
    if (!user) return statusReply(401, false, "Not authenticated");
    auto body = readFields(request.body, {"token"});
    if (!body) return detailReply(422, "Malformed web-login approval");
    std::lock_guard lock(mutex);
    auto it = sessions.find(body->at("token"));
    if (it == sessions.end() || it->second.approved) return statusReply(404, false, "Web session not found");
    it->second.approved = true;
    approvals.push_back(Approval{it->first, *user});
    return statusReply(200, true, "Web session approved");
  }
};

WebLoginPeer::WebLoginPeer(LocalService& service, std::shared_ptr<AccessTokens> tokens, std::string basePath)
    : service_(service), basePath_(std::move(basePath)), state_(std::make_shared<State>(std::move(tokens))) {
  std::shared_ptr<State> state = state_;
  service_.route("POST", basePath_ + kDetailsPath,
                 [state](const RecordedRequest& r) { return state->details(r); });
  service_.route("POST", basePath_ + kApprovePath,
                 [state](const RecordedRequest& r) { return state->approve(r); });
}

WebLoginPeer::~WebLoginPeer() {
  service_.removeRoute("POST", basePath_ + kDetailsPath);
  service_.removeRoute("POST", basePath_ + kApprovePath);
}

std::string WebLoginPeer::openSession(std::string pin, std::string sessionDetailsJson) {
  std::string token = "web-" + platform::hexEncode(platform::crypto::randomBytes(16));
  std::lock_guard lock(state_->mutex);
  state_->sessions[token] = State::Session{std::move(pin), std::move(sessionDetailsJson), false};
  return token;
}

std::vector<WebLoginPeer::Approval> WebLoginPeer::approvals() const {
  std::lock_guard lock(state_->mutex);
  return state_->approvals;
}

void WebLoginPeer::enqueueDetailsReply(Reply reply) {
  state_->detailsScript.enqueue(std::move(reply));
}

std::string WebLoginPeer::saveState() const {
  using Json = nlohmann::ordered_json;
  std::lock_guard lock(state_->mutex);
  Json sessions = Json::object();
  for (const auto& [token, s] : state_->sessions) {
    sessions[token] =
        Json{{"pin", s.pin}, {"session_details", s.sessionDetailsJson}, {"approved", s.approved}};
  }
  Json approvals = Json::array();
  for (const auto& a : state_->approvals)
    approvals.push_back(Json{{"web_token", a.webToken}, {"userid", a.userid}});
  return Json{{"sessions", std::move(sessions)}, {"approvals", std::move(approvals)}}.dump();
}

bool WebLoginPeer::restoreState(const std::string& state) {
  const auto json = nlohmann::json::parse(state, nullptr, false);
  if (!json.is_object()) return false;
  try {
    std::map<std::string, State::Session> sessions;
    for (const auto& [token, s] : json.at("sessions").items()) {
      std::string details = s.at("session_details").get<std::string>();
      // The details are sent inside every answer: only a JSON text may come back.
      if (nlohmann::json::parse(details, nullptr, false).is_discarded()) return false;
      sessions[token] =
          State::Session{s.at("pin").get<std::string>(), std::move(details), s.at("approved").get<bool>()};
    }
    std::vector<Approval> approvals;
    for (const auto& a : json.at("approvals")) {
      approvals.push_back(Approval{a.at("web_token").get<std::string>(), a.at("userid").get<std::string>()});
    }
    std::lock_guard lock(state_->mutex);
    state_->sessions = std::move(sessions);
    state_->approvals = std::move(approvals);
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

}  // namespace velqo::localservice
