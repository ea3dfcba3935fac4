#include "running_service.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <velqo/platform/environment.hpp>
#include <velqo/platform/http.hpp>

#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace velqo::cli {
namespace {

constexpr const char* kAdminKeyHeader = "X-Velqo-Cli-Admin";
constexpr const char* kLoginRequestPath = "/velqo-cli/login-request";
constexpr const char* kWebSessionPath = "/velqo-cli/web-session";

std::filesystem::path noticeFile() {
  return platform::applicationDataDirectory() / "localservice-running.json";
}

std::string randomKey() {
  std::random_device device;
  std::uniform_int_distribution<int> nibble(0, 15);
  std::string key;
  for (int i = 0; i < 32; ++i) key.push_back("0123456789abcdef"[nibble(device)]);
  return key;
}

std::optional<Json> readNotice() {
  std::ifstream in(noticeFile(), std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  Json notice = Json::parse(text.str(), nullptr, false);
  if (!notice.is_object() || !notice.contains("baseUrl") || !notice["baseUrl"].is_string() ||
      !notice.contains("adminKey") || !notice["adminKey"].is_string()) {
    return std::nullopt;
  }
  return notice;
}

}  // namespace

struct RunningServiceNotice::Admin {
  std::mutex mutex;
  AccountPeers* peers = nullptr;  // null once stopped
  std::string key;

  localservice::Reply answer(const localservice::RecordedRequest& request, bool loginRequest) {
    if (request.header(kAdminKeyHeader) != key)
      return localservice::Reply::json(403, R"({"detail":"forbidden"})");
    const Json body = Json::parse(request.body, nullptr, false);
    const char* field = loginRequest ? "userid" : "pin";
    if (!body.is_object() || !body.contains(field) || !body[field].is_string()) {
      return localservice::Reply::json(400, R"({"detail":"bad request"})");
    }
    const std::string value = body[field].get<std::string>();
    std::lock_guard lock(mutex);
    if (!peers) return localservice::Reply::json(503, R"({"detail":"stopping"})");
    Json out = loginRequest ? Json{{"requestId", peers->raiseLoginRequest(value)}}
                            : Json{{"webPin", value}, {"webToken", peers->openWebSession(value)}};
    return localservice::Reply::json(200, out.dump());
  }
};

RunningServiceNotice::RunningServiceNotice(const std::string& baseUrl)
    : admin_(std::make_shared<Admin>()), key_(randomKey()) {
  admin_->key = key_;
  const auto file = noticeFile();
  const auto temporary = std::filesystem::path(file.string() + ".tmp");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot write " + file.string());
  const std::string text = Json{{"baseUrl", baseUrl}, {"adminKey", key_}}.dump();
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  std::error_code ec;
  if (written) std::filesystem::rename(temporary, file, ec);
  if (!written || ec) {
    std::filesystem::remove(temporary, ec);
    throw std::runtime_error("cannot write " + file.string());
  }
}

RunningServiceNotice::~RunningServiceNotice() {
  stop();
  // Only our own announcement: a service started later on the same directory keeps its own.
  if (auto notice = readNotice(); notice && (*notice)["adminKey"] == key_) {
    std::error_code ec;
    std::filesystem::remove(noticeFile(), ec);
  }
}

void RunningServiceNotice::serve(localservice::LocalService& service, AccountPeers& peers) {
  {
    std::lock_guard lock(admin_->mutex);
    admin_->peers = &peers;
  }
  service_ = &service;
  service.route("POST", kLoginRequestPath,
                [admin = admin_](const localservice::RecordedRequest& r) { return admin->answer(r, true); });
  service.route("POST", kWebSessionPath,
                [admin = admin_](const localservice::RecordedRequest& r) { return admin->answer(r, false); });
}

void RunningServiceNotice::stop() {
  if (service_) {
    service_->removeRoute("POST", kLoginRequestPath);
    service_->removeRoute("POST", kWebSessionPath);
    service_ = nullptr;
  }
  std::lock_guard lock(admin_->mutex);
  admin_->peers = nullptr;
}

RunningServiceAnswer askRunningService(const std::string& path, const Json& body) {
  const auto notice = readNotice();
  if (!notice) return {};
  platform::HttpRequest request;
  request.url = (*notice)["baseUrl"].get<std::string>() + path;
  request.method = "POST";
  request.body = body.dump();
  request.timeoutSeconds = 60;
  request.setHeader("Content-Type", "application/json");
  request.setHeader(kAdminKeyHeader, (*notice)["adminKey"].get<std::string>());

  struct Outcome {
    std::optional<std::string> body;
    std::optional<platform::HttpResponse> response;
    std::optional<platform::PlatformError> error;
  };
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  auto session = platform::HttpSession::create();
  session->dataTask(std::move(request),
                    [promise](std::optional<std::string> text, std::optional<platform::HttpResponse> response,
                              std::optional<platform::PlatformError> error) {
                      promise->set_value(Outcome{std::move(text), std::move(response), std::move(error)});
                    });
  // The transport bounds the exchange; this bound only guards against a lost completion.
  if (future.wait_for(std::chrono::seconds(90)) != std::future_status::ready) {
    return {RunningServiceAnswer::Kind::failed, {}, "the running local-service did not answer"};
  }
  const Outcome outcome = future.get();
  if (outcome.error) {
    if (outcome.error->code() == platform::urlError::cannotConnectToHost) return {};
    return {RunningServiceAnswer::Kind::failed, {}, "the running local-service did not answer"};
  }
  Json answer = Json::parse(outcome.body.value_or(""), nullptr, false);
  if (outcome.response->statusCode != 200 || !answer.is_object()) {
    return {
        RunningServiceAnswer::Kind::failed,
        {},
        "the running local-service refused (status " + std::to_string(outcome.response->statusCode) + ")"};
  }
  return {RunningServiceAnswer::Kind::answered, std::move(answer), {}};
}

}  // namespace velqo::cli
