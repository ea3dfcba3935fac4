#include "account_service.hpp"

#include <nlohmann/json.hpp>

#include <velqo/platform/environment.hpp>

#include <velqo_localservice/state_files.hpp>

#include <chrono>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "account_state_merge.hpp"
#include "diagnostics.hpp"

namespace velqo::cli {
namespace {

using Json = nlohmann::json;

localservice::V5Peer::Options v5Options(localservice::TokenEndpoint& tokens) {
  localservice::V5Peer::Options options;
  options.tokenEndpoint = &tokens;
  return options;
}

class RemoteAccountService final : public AccountHost {
 public:
  explicit RemoteAccountService(std::string baseUrl) : baseUrl_(std::move(baseUrl)) {}
  std::string baseUrl() const override { return baseUrl_; }

 private:
  std::string baseUrl_;
};

class EmbeddedAccountService final : public AccountHost {
 public:
  EmbeddedAccountService() : tokens_(service_), peers_(service_, tokens_, accountStateFile()) {
    printRawError("[local-service] embedded account service on " + service_.baseUrl() +
                  "; one-time codes it sends show here");
  }
  std::string baseUrl() const override { return service_.baseUrl(); }

 private:
  localservice::LocalService service_;
  localservice::TokenEndpoint tokens_;
  AccountPeers peers_;
};

}  // namespace

std::filesystem::path accountStateFile() {
  return platform::applicationDataDirectory() / "localservice-account-state.json";
}

namespace {

// The state file's object, or nothing when there is no file. Throws std::runtime_error when it
// cannot be read.
std::optional<Json> readStateFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (!std::filesystem::exists(file)) return std::nullopt;
    throw std::runtime_error("local service: unreadable account state file");
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  Json state = Json::parse(buffer.str(), nullptr, false);
  if (!in || !state.is_object()) throw std::runtime_error("local service: unreadable account state file");
  return state;
}

std::string nowText() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// The user's device list with this device's entry (one per sign-in interface) at the end.
void recordDevice(localservice::DeviceListPeer& devices, const std::string& userId,
                  const std::string& deviceId) {
  const Json all = Json::parse(devices.saveState());
  Json list = Json::array();
  if (const auto known = all.find(userId); known != all.end()) {
    for (const auto& device : *known) {
      if (device.value("id", "") != deviceId) list.push_back(device);
    }
  }
  list.push_back(Json{
      {"id", deviceId}, {"platform", "linux"}, {"browser_name", "velqo-cli"}, {"login_time", nowText()}});
  devices.setDevices(userId, list.dump());
}

}  // namespace

// A login earns the user a bearer token for the other account routes, and shows the device in
// the user's device list.
AccountPeers::SignInHook AccountPeers::signInHook(std::string deviceId) {
  return [tokens = tokens_, devices = std::weak_ptr(devices_), deviceId = std::move(deviceId)](
             const std::string& userId, const std::string& token) {
    tokens->grant(token, userId);
    if (auto list = devices.lock()) recordDevice(*list, userId, deviceId);
  };
}

localservice::V4Peer::Settings AccountPeers::v4Settings() {
  localservice::V4Peer::Settings settings;
  settings.onCodeSent = [](const std::string&, const std::string& code) {
    printRawError("[local-service] sent V4 code " + code);
  };
  settings.onTokenIssued = signInHook("velqo-cli-v4");
  return settings;
}

AccountPeers::AccountPeers(localservice::LocalService& service, localservice::TokenEndpoint& tokens,
                           std::filesystem::path stateFile)
    : stateFile_(std::move(stateFile)),
      tokens_(std::make_shared<localservice::AccessTokens>()),
      push_(service, tokens_),
      web_(service, tokens_),
      devices_(std::make_shared<localservice::DeviceListPeer>(service, tokens_)),
      v4_(service, &tokens, v4Settings()),
      v5_(service, v5Options(tokens)) {
  v5_.setOnCodeSent([](const std::string&, const std::string& code) {
    printRawError("[local-service] sent V5 code " + code);
  });
  v5_.setOnTokenIssued(signInHook("velqo-cli-v5"));
  // The file only ever appears whole (see save), so it is read without the lock.
  if (const auto state = readStateFile(stateFile_)) {
    auto section = [&](const char* key) { return (*state)[key].dump(); };
    const bool restored = (!state->contains("tokens") || tokens_->restoreState(section("tokens"))) &&
                          (!state->contains("push") || push_.restoreState(section("push"))) &&
                          (!state->contains("web") || web_.restoreState(section("web"))) &&
                          (!state->contains("devices") || devices_->restoreState(section("devices"))) &&
                          (!state->contains("v4") || v4_.restoreState(section("v4"))) &&
                          (!state->contains("v5") || v5_.restoreState(section("v5")));
    if (!restored) throw std::runtime_error("local service: unreadable account state file");
  }
  saved_ = snapshot();
}

AccountPeers::~AccountPeers() {
  bool written = false;
  try {
    if (snapshot() == saved_) return;
    // Under the caller's lock when this runs while it is held (an admin command unwinding).
    if (const AccountStateLock* held = AccountStateLock::heldByThisThread()) {
      written = save(*held);
    } else {
      const AccountStateLock lock;
      written = save(lock);
    }
  } catch (const std::exception&) {
    written = false;
  }
  if (!written) printRawError("[local-service] could not write " + stateFile_.string());
}

Json AccountPeers::snapshot() const {
  Json state = Json::object();
  state["version"] = 1;
  state["tokens"] = Json::parse(tokens_->saveState());
  state["push"] = Json::parse(push_.saveState());
  state["web"] = Json::parse(web_.saveState());
  state["devices"] = Json::parse(devices_->saveState());
  state["v4"] = Json::parse(v4_.saveState());
  state["v5"] = Json::parse(v5_.saveState());
  return state;
}

bool AccountPeers::save(const AccountStateLock& held) {
  Json current = snapshot();
  if (current == saved_) return true;
  // What the others wrote since this process read the file (nothing when there is still no
  // file); a file that cannot be read any more is replaced by what this process knows.
  Json merged;
  try {
    merged = mergeAccountState(readStateFile(stateFile_).value_or(saved_), saved_, current);
  } catch (const std::runtime_error&) {
    merged = current;
  }
  saved_ = std::move(current);
  if (held.held()) localservice::removeStaleStateTemporaries(stateFile_);
  return localservice::replaceStateFile(stateFile_, merged.dump(2));
}

std::string AccountPeers::raiseLoginRequest(const std::string& userid) {
  return push_.raiseLoginRequest(userid);
}

std::string AccountPeers::openWebSession(const std::string& pin) {
  return web_.openSession(pin);
}

std::unique_ptr<AccountHost> AccountHost::open(const std::optional<std::string>& baseUrl) {
  if (baseUrl) return std::make_unique<RemoteAccountService>(*baseUrl);
  return std::make_unique<EmbeddedAccountService>();
}

}  // namespace velqo::cli
