#include "velqo_localservice/push_peer.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <mutex>
#include <utility>

#include "account_peer_support.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo::localservice {
namespace {

constexpr const char* kRegisterPath = "/v4/push/register-token";
constexpr const char* kDetailsPath = "/v4/push/login-request-details";
constexpr const char* kApprovePath = "/v4/push/approve-login-request";
constexpr const char* kDeclinePath = "/v4/push/decline-login-request";

bool isHex(const std::string& text) {
  return !text.empty() && platform::hexDecode(text).has_value();
}

}  // namespace

struct PushPeer::State {
  explicit State(std::shared_ptr<AccessTokens> t) : tokens(std::move(t)) {}

  struct Entry {
    std::string userid;
    LoginRequest request;
    Decision decision = Decision::pending;
  };

  std::shared_ptr<AccessTokens> tokens;
  ReplyScript registrationScript;
  mutable std::mutex mutex;
  std::vector<Registration> registrations;
  std::map<std::string, Entry> requests;
  std::function<void()> beforeRegistration;

  Reply registerToken(const RecordedRequest& request) {
    std::function<void()> hook;
    {
      std::lock_guard lock(mutex);
      hook = beforeRegistration;
    }
    if (hook) hook();
    if (auto scripted = registrationScript.next()) return *scripted;
    auto user = tokens->userOf(request);
    if (!user) return detailReply(401, "Not authenticated");
    auto body = readFields(request.body, {"push_token", "device_fingerprint", "device_name"});
    if (!body) return detailReply(422, "Malformed push-token registration");
    if (!isHex(body->at("push_token"))) return detailReply(422, "push_token must be hexadecimal");
    std::lock_guard lock(mutex);
    registrations.push_back(
        Registration{*user, body->at("push_token"), body->at("device_fingerprint"), body->at("device_name")});
    return Reply::json(200, R"({"success":true})");
  }

  // The request of the bearer's user named by the body, or the reply that refuses it.
  struct Lookup {
    std::optional<Reply> refusal;
    std::string requestId;
  };
  Lookup find(const RecordedRequest& request) const {
    auto user = tokens->userOf(request);
    if (!user) return {detailReply(401, "Not authenticated"), {}};
    auto body = readFields(request.body, {"request_id"});
    if (!body) return {detailReply(422, "Malformed push action"), {}};
    const std::string id = body->at("request_id");
    std::lock_guard lock(mutex);
    auto it = requests.find(id);
    if (it == requests.end() || it->second.userid != *user) {
      return {detailReply(404, "Login request not found"), {}};
    }
    return {std::nullopt, id};
  }

  Reply details(const RecordedRequest& request) const {
    auto lookup = find(request);
    if (lookup.refusal) return *lookup.refusal;
    nlohmann::ordered_json data;
    {
      std::lock_guard lock(mutex);
      const LoginRequest& r = requests.at(lookup.requestId).request;
      data["request_id"] = lookup.requestId;
      data["ip_address"] = r.ipAddress;
      if (r.location) data["location"] = *r.location;
      data["browser"] = r.browser;
      data["timestamp"] = r.timestamp;
    }
    nlohmann::ordered_json body;
    body["success"] = true;
    body["data"] = std::move(data);
    return Reply::json(200, body.dump());
  }

  Reply answer(const RecordedRequest& request, Decision outcome) {
    auto lookup = find(request);
    if (lookup.refusal) return *lookup.refusal;
    std::lock_guard lock(mutex);
    Entry& entry = requests.at(lookup.requestId);
    if (entry.decision != Decision::pending) {
      return Reply::json(409, R"({"success":false,"detail":"Login request already answered"})");
    }
    entry.decision = outcome;
    return Reply::json(200, R"({"success":true})");
  }
};

PushPeer::PushPeer(LocalService& service, std::shared_ptr<AccessTokens> tokens, std::string basePath)
    : service_(service), basePath_(std::move(basePath)), state_(std::make_shared<State>(std::move(tokens))) {
  std::shared_ptr<State> state = state_;
  service_.route("POST", basePath_ + kRegisterPath,
                 [state](const RecordedRequest& r) { return state->registerToken(r); });
  service_.route("POST", basePath_ + kDetailsPath,
                 [state](const RecordedRequest& r) { return state->details(r); });
  service_.route("POST", basePath_ + kApprovePath,
                 [state](const RecordedRequest& r) { return state->answer(r, Decision::approved); });
  service_.route("POST", basePath_ + kDeclinePath,
                 [state](const RecordedRequest& r) { return state->answer(r, Decision::declined); });
}

PushPeer::~PushPeer() {
  for (const char* path : {kRegisterPath, kDetailsPath, kApprovePath, kDeclinePath}) {
    service_.removeRoute("POST", basePath_ + path);
  }
}

std::string PushPeer::raiseLoginRequest(std::string userid, LoginRequest request) {
  std::string id = "req-" + platform::hexEncode(platform::crypto::randomBytes(8));
  std::lock_guard lock(state_->mutex);
  state_->requests[id] = State::Entry{std::move(userid), std::move(request), Decision::pending};
  return id;
}

std::string PushPeer::raiseLoginRequest(std::string userid) {
  return raiseLoginRequest(std::move(userid), LoginRequest{});
}

std::optional<PushPeer::Decision> PushPeer::decision(const std::string& requestId) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->requests.find(requestId);
  if (it == state_->requests.end()) return std::nullopt;
  return it->second.decision;
}

std::vector<PushPeer::Registration> PushPeer::registrations() const {
  std::lock_guard lock(state_->mutex);
  return state_->registrations;
}

void PushPeer::enqueueRegistrationReply(Reply reply) {
  state_->registrationScript.enqueue(std::move(reply));
}

void PushPeer::setBeforeRegistration(std::function<void()> hook) {
  std::lock_guard lock(state_->mutex);
  state_->beforeRegistration = std::move(hook);
}

std::string PushPeer::saveState() const {
  using Json = nlohmann::ordered_json;
  std::lock_guard lock(state_->mutex);
  Json registrations = Json::array();
  for (const auto& r : state_->registrations) {
    registrations.push_back(Json{{"userid", r.userid},
                                 {"push_token", r.pushToken},
                                 {"device_fingerprint", r.deviceFingerprint},
                                 {"device_name", r.deviceName}});
  }
  Json requests = Json::object();
  for (const auto& [id, entry] : state_->requests) {
    const LoginRequest& r = entry.request;
    Json saved{{"userid", entry.userid},
               {"ip_address", r.ipAddress},
               {"browser", r.browser},
               {"timestamp", r.timestamp},
               {"decision", static_cast<int>(entry.decision)}};
    if (r.location) saved["location"] = *r.location;
    requests[id] = std::move(saved);
  }
  return Json{{"registrations", std::move(registrations)}, {"requests", std::move(requests)}}.dump();
}

bool PushPeer::restoreState(const std::string& state) {
  const auto json = nlohmann::json::parse(state, nullptr, false);
  if (!json.is_object()) return false;
  try {
    std::vector<Registration> registrations;
    for (const auto& r : json.at("registrations")) {
      registrations.push_back(Registration{
          r.at("userid").get<std::string>(), r.at("push_token").get<std::string>(),
          r.at("device_fingerprint").get<std::string>(), r.at("device_name").get<std::string>()});
    }
    std::map<std::string, State::Entry> requests;
    for (const auto& [id, r] : json.at("requests").items()) {
      const int decision = r.at("decision").get<int>();
      if (decision < 0 || decision > static_cast<int>(Decision::declined)) return false;
      LoginRequest request;
      request.ipAddress = r.at("ip_address").get<std::string>();
      request.browser = r.at("browser").get<std::string>();
      request.timestamp = r.at("timestamp").get<std::string>();
      if (r.contains("location")) request.location = r.at("location").get<std::string>();
      requests[id] = State::Entry{r.at("userid").get<std::string>(), std::move(request),
                                  static_cast<Decision>(decision)};
    }
    std::lock_guard lock(state_->mutex);
    state_->registrations = std::move(registrations);
    state_->requests = std::move(requests);
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

}  // namespace velqo::localservice
