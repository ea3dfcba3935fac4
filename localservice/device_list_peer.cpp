#include "velqo_localservice/device_list_peer.hpp"

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>
#include <utility>

namespace velqo::localservice {

struct DeviceListPeer::State {
  explicit State(std::shared_ptr<AccessTokens> t) : tokens(std::move(t)) {}

  std::shared_ptr<AccessTokens> tokens;
  ReplyScript script;
  std::mutex mutex;
  std::map<std::string, std::string> devices;  // user -> JSON array text

  Reply serve(const RecordedRequest& request) {
    if (auto scripted = script.next()) return *scripted;
    auto user = tokens->userOf(request);
    if (!user) return Reply::json(401, R"({"api_status":false,"message":"Not authenticated"})");
    std::string list = "[]";
    {
      std::lock_guard lock(mutex);
      auto it = devices.find(*user);
      if (it != devices.end()) list = it->second;
    }
    nlohmann::ordered_json body;
    body["api_status"] = true;
    body["data"] = nlohmann::ordered_json::parse(list);
    body["message"] = "Device details fetched";
    return Reply::json(200, body.dump());
  }
};

DeviceListPeer::DeviceListPeer(LocalService& service, std::shared_ptr<AccessTokens> tokens,
                               std::string loginBasePath)
    : service_(service),
      path_(std::move(loginBasePath) + "/device/details"),
      state_(std::make_shared<State>(std::move(tokens))) {
  std::shared_ptr<State> state = state_;
  service_.route("GET", path_, [state](const RecordedRequest& r) { return state->serve(r); });
}

DeviceListPeer::~DeviceListPeer() {
  service_.removeRoute("GET", path_);
}

void DeviceListPeer::setDevices(const std::string& userid, std::string devicesJsonArray) {
  std::lock_guard lock(state_->mutex);
  state_->devices[userid] = std::move(devicesJsonArray);
}

void DeviceListPeer::enqueueReply(Reply reply) {
  state_->script.enqueue(std::move(reply));
}

std::string DeviceListPeer::saveState() const {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  std::lock_guard lock(state_->mutex);
  for (const auto& [user, list] : state_->devices) out[user] = nlohmann::ordered_json::parse(list);
  return out.dump();
}

bool DeviceListPeer::restoreState(const std::string& state) {
  const auto json = nlohmann::json::parse(state, nullptr, false);
  if (!json.is_object()) return false;
  std::map<std::string, std::string> devices;
  for (const auto& [user, list] : json.items()) {
    if (!list.is_array()) return false;
    devices[user] = list.dump();
  }
  std::lock_guard lock(state_->mutex);
  state_->devices = std::move(devices);
  return true;
}

}  // namespace velqo::localservice
