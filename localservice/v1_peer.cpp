#include "velqo_localservice/v1_peer.hpp"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace velqo::localservice {

namespace {

using Json = nlohmann::ordered_json;

std::string actionTypeOf(const std::string& body) {
  Json envelope = Json::parse(body, nullptr, false);
  if (!envelope.is_object()) return {};
  auto action = envelope.find("action");
  if (action == envelope.end() || !action->is_object()) return {};
  auto type = action->find("type");
  if (type == action->end() || !type->is_string()) return {};
  return type->get<std::string>();
}

Json parsedOrText(std::string_view json) {
  Json value = Json::parse(json, nullptr, false);
  return value.is_discarded() ? Json(std::string(json)) : value;
}

}  // namespace

struct V1Peer::State {
  mutable std::mutex mutex;
  mutable std::condition_variable arrived;
  std::deque<Answer> script;
  Answer fallback = [](const V1Exchange&) { return Reply::json(500, R"({"detail":"no scripted answer"})"); };
  std::vector<V1Exchange> exchanges;

  Reply serve(const RecordedRequest& request) {
    V1Exchange exchange{request, std::chrono::steady_clock::now(), actionTypeOf(request.body)};
    Answer answer;
    {
      std::lock_guard lock(mutex);
      exchanges.push_back(exchange);
      if (!script.empty()) {
        answer = std::move(script.front());
        script.pop_front();
      } else {
        answer = fallback;
      }
    }
    arrived.notify_all();
    return answer(exchange);
  }
};

V1Peer::V1Peer(LocalService& service, std::string basePath)
    : service_(service), basePath_(std::move(basePath)), state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  service_.route("POST", basePath_ + "/auth",
                 [state](const RecordedRequest& request) { return state->serve(request); });
}

V1Peer::~V1Peer() {
  service_.removeRoute("POST", basePath_ + "/auth");
}

std::string V1Peer::baseURL() const {
  return service_.baseUrl() + basePath_;
}

void V1Peer::enqueue(Reply reply) {
  enqueue([reply = std::move(reply)](const V1Exchange&) { return reply; });
}

void V1Peer::enqueue(Answer answer) {
  std::lock_guard lock(state_->mutex);
  state_->script.push_back(std::move(answer));
}

void V1Peer::setFallback(Answer answer) {
  std::lock_guard lock(state_->mutex);
  state_->fallback = std::move(answer);
}

std::vector<V1Exchange> V1Peer::exchanges() const {
  std::lock_guard lock(state_->mutex);
  return state_->exchanges;
}

std::size_t V1Peer::requestCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->exchanges.size();
}

bool V1Peer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->arrived.wait_for(lock, timeout, [&] { return state_->exchanges.size() >= count; });
}

std::string V1Peer::response(std::string_view session, std::string_view promptJson, std::string_view traceId,
                             std::int64_t protocolVersion, std::string_view expiresAt) {
  Json body = Json::object();
  body["protocolVersion"] = protocolVersion;
  body["session"] = std::string(session);
  body["prompt"] = parsedOrText(promptJson);
  body["meta"] = Json{{"traceId", std::string(traceId)}, {"expiresAt", std::string(expiresAt)}};
  return body.dump();
}

Reply V1Peer::answer(std::string_view session, std::string_view promptJson, int status,
                     std::string_view traceId) {
  return Reply::json(status, response(session, promptJson, traceId));
}

std::string V1Peer::errorPrompt(std::string_view code, std::string_view action, std::string_view message,
                                bool retryable, std::string_view detailsJson) {
  Json prompt = Json::object();
  prompt["type"] = "error";
  prompt["code"] = std::string(code);
  prompt["action"] = std::string(action);
  prompt["message"] = std::string(message);
  prompt["retryable"] = retryable;
  if (!detailsJson.empty()) prompt["details"] = parsedOrText(detailsJson);
  return prompt.dump();
}

std::string V1Peer::completedPrompt(std::string_view authCode, std::string_view expiresAt,
                                    const std::optional<std::string>& codeVerifier) {
  Json prompt = Json::object();
  prompt["type"] = "completed";
  prompt["authCode"] = std::string(authCode);
  prompt["expiresAt"] = std::string(expiresAt);
  if (codeVerifier) prompt["codeVerifier"] = *codeVerifier;
  return prompt.dump();
}

}  // namespace velqo::localservice
