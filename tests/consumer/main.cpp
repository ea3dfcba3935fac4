// A host program built against the installed headers and library only: it must compile
// without the library's sources or third-party headers, link with what the package
// exports, and run the pieces that need OpenSSL, libcurl and threads.
//
//   velqo_consumer [<account base URL> <one-time code>]
//
// With a service, it also signs a new user in with V5 there, setting nothing first (no bundle,
// no device, no data directory), as a host that follows the README does.
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "velqo/account/velqo_sdk.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/core/oauth_config.hpp"
#include "velqo/core/oauth_token_verifier.hpp"
#include "velqo/core/velqo_v1_crypto.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/user_defaults.hpp"

namespace {

int failures = 0;

void expect(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "consumer: FAILED %s\n", what);
    ++failures;
  }
}

constexpr const char* kPublicKeyPem = R"PEM(-----BEGIN PUBLIC KEY-----
MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEn62Erq4Iu+9/AQAU2CzvagneKwz4
cbXODE8dE6WaWTQHy0V2nxBw4sJHD+Wxv+YxM8CwzcZOpL83kajsKgf9Tw==
-----END PUBLIC KEY-----
)PEM";

// Submits the code when asked and records how the attempt ended.
class V5Attempt final : public velqo::AuthV5Callback {
 public:
  V5Attempt(velqo::VelqoSDK& sdk, std::string code) : sdk_(sdk), code_(std::move(code)) {}

  void onOtpRequired() override { sdk_.submitOtpV5(code_); }
  void onAuthSuccess(const std::optional<std::string>& accessToken, const std::optional<std::string>&,
                     bool isLoginFlow) override {
    outcome = accessToken && !isLoginFlow ? "registered" : "unexpected success";
  }
  void onError(velqo::AuthV5ErrorCode errorCode, const std::string& errorMessage) override {
    outcome = "error " + std::string(errorCode.rawValue()) + ": " + errorMessage;
  }
  void onAuthorizationCode(const std::string&, std::optional<std::int64_t>) override {
    outcome = "unexpected authorization code";
  }
  void onAdditionalVerificationRequired(const std::string&, const std::optional<std::string>&) override {
    outcome = "unexpected additional verification";
  }

  std::optional<std::string> outcome;

 private:
  velqo::VelqoSDK& sdk_;
  std::string code_;
};

void signInWithV5(const std::string& baseUrl, const std::string& code) {
  using namespace std::chrono_literals;
  auto sdk = velqo::VelqoSDK::create("consumer-project-key", baseUrl);
  auto attempt = std::make_shared<V5Attempt>(*sdk, code);
  velqo::platform::mainQueue().async([&] { sdk->authenticateV5("consumer@example.com", attempt); });
  const bool ended =
      velqo::platform::mainQueue().runUntil([&] { return attempt->outcome.has_value(); }, 120s);
  expect(ended, "V5 sign-in ended");
  if (ended && *attempt->outcome != "registered") {
    std::fprintf(stderr, "consumer: V5 sign-in: %s\n", attempt->outcome->c_str());
  }
  expect(ended && *attempt->outcome == "registered", "V5 registration without any host settings");
  if (ended && *attempt->outcome == "registered") std::printf("consumer: V5 registration with nothing set\n");
}

// Ends the program with a failure when the step does not return in time (a hang).
template <class Step>
void withinTime(const char* what, Step&& step) {
  std::mutex mutex;
  std::condition_variable doneChanged;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (doneChanged.wait_for(lock, std::chrono::seconds(120), [&] { return done; })) return;
    std::fprintf(stderr, "consumer: FAILED %s: it hangs\n", what);
    std::_Exit(1);
  });
  step();
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  doneChanged.notify_all();
  watchdog.join();
}

// A host's own item store: generic passwords in a map, the given write from now on failing.
class HostItems final : public velqo::platform::ItemStore {
 public:
  using Items = std::map<std::pair<std::string, std::string>, velqo::Bytes>;
  using OSStatus = velqo::platform::OSStatus;

  void failWrite(int n) { untilFailure_ = n; }
  Items items() const {
    std::lock_guard lock(mutex_);
    return items_;
  }

  OSStatus addGenericPassword(const std::string& service, const std::string& account,
                              const velqo::Bytes& data,
                              velqo::platform::Accessibility accessibility) override {
    {
      std::lock_guard lock(mutex_);
      if (items_.count({service, account}) != 0) return velqo::platform::status::duplicateItem;
    }
    return replaceGenericPassword(service, account, data, accessibility);
  }
  OSStatus copyGenericPassword(const std::string& service, const std::string& account,
                               velqo::Bytes& out) override {
    std::lock_guard lock(mutex_);
    auto it = items_.find({service, account});
    if (it == items_.end()) return velqo::platform::status::itemNotFound;
    out = it->second;
    return velqo::platform::status::success;
  }
  OSStatus deleteGenericPassword(const std::string& service, const std::string& account) override {
    std::lock_guard lock(mutex_);
    return items_.erase({service, account}) != 0 ? velqo::platform::status::success
                                                 : velqo::platform::status::itemNotFound;
  }
  OSStatus replaceGenericPassword(const std::string& service, const std::string& account,
                                  const velqo::Bytes& data, velqo::platform::Accessibility) override {
    std::lock_guard lock(mutex_);
    if (untilFailure_ > 0 && --untilFailure_ == 0) return velqo::platform::status::ioError;
    items_[{service, account}] = data;
    return velqo::platform::status::success;
  }
  OSStatus addKey(const velqo::platform::KeyItem&) override { return velqo::platform::status::unimplemented; }
  OSStatus copyKey(const velqo::Bytes&, velqo::platform::KeyType, velqo::platform::KeyToken,
                   velqo::platform::KeyItem&) override {
    return velqo::platform::status::unimplemented;
  }
  OSStatus deleteKey(const velqo::Bytes&, velqo::platform::KeyType, velqo::platform::KeyToken) override {
    return velqo::platform::status::unimplemented;
  }

 private:
  mutable std::mutex mutex_;
  Items items_;
  int untilFailure_ = 0;
};

// A user's token pair: a host that keeps its items in its data directory itself can store and
// clear tokens (the library's locks never wait on each other), and a store that fails half-way
// leaves the earlier pair. Puts the default data directory and item store back afterwards.
void checkTokenPair() {
  namespace platform = velqo::platform;
  // Under the scratch data home that run.sh gives and removes, so a hang leaves nothing behind.
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const std::filesystem::path base =
      dataHome && *dataHome ? std::filesystem::path(dataHome) : std::filesystem::temp_directory_path();
  std::error_code made;
  std::filesystem::create_directories(base, made);
  std::string pattern = (base / "velqo-consumer-pair-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    expect(false, "token pair: a temporary data directory");
    return;
  }
  const std::filesystem::path dir = pattern;
  platform::setApplicationDataDirectory(dir);
  platform::setItemStore(platform::makeFileItemStore(dir));
  {
    auto sdk = velqo::VelqoSDK::create("consumer-project-key", "http://127.0.0.1:9");
    withinTime("token store with the items in the data directory", [&] {
      expect(sdk->storeBackendOAuthTokens("access-1", "refresh-1", "ada"),
             "token store with the items in the data directory");
    });
    withinTime("token clear with the items in the data directory",
               [&] { sdk->clearUserKeychainData("ada"); });

    auto host = std::make_shared<HostItems>();
    platform::setItemStore(host);
    expect(sdk->storeBackendOAuthTokens("access-1", "refresh-1", "bea"), "token store into a host's store");
    for (int failing : {1, 2}) {
      const HostItems::Items before = host->items();
      host->failWrite(failing);
      expect(!sdk->storeBackendOAuthTokens("access-2", "refresh-2", "bea"), "a failed token store says so");
      expect(host->items() == before, "a failed token store leaves the earlier pair");
    }
  }
  platform::setItemStore(nullptr);
  platform::setApplicationDataDirectory({});
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

// A user defaults file that the host's user cannot read (left by a run under sudo, say) is
// never written over: the write fails with the line hosts look for, and reads see nothing.
// Mode 0000 stops a user other than root; as root, a forked child drops to nobody in a
// directory of its own. Run before any thread starts, for the fork.
void checkUnreadableUserDefaultsAreKept() {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "velqo-consumer-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    expect(false, "temporary directory for the user defaults check");
    return;
  }
  const fs::path dir = pattern;
  const fs::path file = dir / "defaults.json";
  const std::string held = R"({"old": "kept"})";
  std::ofstream(file) << held;
  ::chmod(file.c_str(), 0);
  const bool root = ::geteuid() == 0;
  const pid_t child = (!root || ::chown(dir.c_str(), 65534, 65534) == 0) ? ::fork() : -1;
  if (child == 0) {
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    auto lines = std::make_shared<std::vector<std::string>>();
    velqo::setDebugSink([lines](std::string_view line) { lines->emplace_back(line); });
    auto defaults = velqo::platform::UserDefaults::open(file);
    defaults->setString("k", "v");
    const std::string start = "[UserDefaults] Could not write " + file.string();
    bool said = false;
    for (const auto& line : *lines) said = said || line.rfind(start, 0) == 0;
    ::_exit(said && !defaults->string("k") && !defaults->string("old") ? 0 : 1);
  }
  int status = -1;
  expect(child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0,
         "unreadable user defaults: the write fails with its line and reads see nothing");
  ::chmod(file.c_str(), 0600);
  std::ifstream in(file);
  const std::string now{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  expect(now == held, "unreadable user defaults keep what they held");
  std::error_code ec;
  fs::remove_all(dir, ec);
}

// Two facades of one host: a push registration's answer that arrives after the other facade
// cleared the session records nothing, so the clear stays done.
void checkClearByAnotherFacade(const std::string& baseUrl) {
  using namespace std::chrono_literals;
  namespace platform = velqo::platform;
  auto registering = velqo::VelqoSDK::create("consumer-project-key", baseUrl);
  auto clearing = velqo::VelqoSDK::create("consumer-project-key", baseUrl);
  const std::string user = registering->getLastLoggedInUser();
  expect(!user.empty(), "a signed-in user to register a push token for");
  if (user.empty()) return;
  const std::string recordKey = "velqo_sdk_last_registered_apns_token_" + user;
  const auto defaults = platform::UserDefaults::standard();
  while (platform::mainQueue().drain() > 0) {
  }
  registering->userDidAuthenticate();
  registering->setAPNsDeviceToken({0x0a, 0x0b});
  expect(platform::mainQueue().runUntil([&] { return defaults->string(recordKey).has_value(); }, 60s),
         "push token registered");
  registering->setAPNsDeviceToken({0x0c, 0x0d});
  clearing->clearSessionTokens(user);
  // The answer is handled in one block on the main queue.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (platform::mainQueue().drain() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  expect(!defaults->string(recordKey),
         "a registration answered after another facade's clear records nothing");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace std::chrono_literals;
  namespace platform = velqo::platform;

  const velqo::VelqoOAuthConfig config{"https://auth.example.test/token", "client-123", kPublicKeyPem};
  const velqo::VelqoOAuthConfig copy = config;
  expect(copy == config, "OAuth settings copy equal");

  checkUnreadableUserDefaultsAreKept();

  expect(velqo::VelqoV1CryptoSuite::canonicalAlgorithm("p256") ==
             std::optional<std::string>(velqo::VelqoV1CryptoSuite::algorithmP256),
         "canonical algorithm name");
  expect(!velqo::VelqoV1CryptoSuite::canonicalAlgorithm("no such algorithm"), "unknown algorithm");

  // OpenSSL: a token signed by nobody is refused by the verifier, as its own error.
  const velqo::OAuthTokenVerifier verifier{config.publicKeyPem, config.clientId};
  bool refused = false;
  try {
    verifier.verify("eyJhbGciOiJFUzI1NiJ9.eyJhdWQiOiJjbGllbnQtMTIzIn0.AAAA");
  } catch (const velqo::OAuthTokenVerifierError& error) {
    refused = error.domain() == "OAuthTokenVerifierError";
  }
  expect(refused, "forged ID token refused");

  // Threads and the main queue: a worker posts back to the main queue, which the host drains.
  bool ranOnMain = false;
  platform::globalQueue()->async([&] { platform::mainQueue().async([&] { ranOnMain = true; }); });
  expect(platform::mainQueue().runUntil([&] { return ranOnMain; }, 10s), "worker result on main queue");
  platform::mainQueue().async([] {});
  expect(platform::mainQueue().drain() == 1, "drain runs the queued block");

  // libcurl: a request to a closed loopback port completes with a transport error.
  bool completed = false;
  bool gotError = false;
  auto session = platform::HttpSession::create();
  platform::HttpRequest request;
  request.url = "http://127.0.0.1:9/";
  request.timeoutSeconds = 10;
  request.setHeader("Accept", "application/json");
  session->dataTask(std::move(request), [&](std::optional<std::string>, std::optional<platform::HttpResponse>,
                                            std::optional<platform::PlatformError> error) {
    const bool failed = error.has_value();
    platform::mainQueue().async([&, failed] {
      gotError = failed;
      completed = true;
    });
  });
  expect(platform::mainQueue().runUntil([&] { return completed; }, 20s), "data task completed");
  expect(gotError, "closed port reported as an error");
  session.reset();

  if (argc == 3) signInWithV5(argv[1], argv[2]);
  if (argc == 3) checkClearByAnotherFacade(argv[1]);
  checkTokenPair();

  if (failures != 0) return 1;
  std::printf("consumer: all checks passed\n");
  return 0;
}
