// A host program built against the installed headers and library only: it must compile
// without the library's sources or third-party headers, link with what the package
// exports, and run the pieces that need OpenSSL, libcurl and threads.
//
//   velqo_consumer [<account base URL> <one-time code>]
//
// With a service, it also signs a new user in with V5 there, setting nothing first (no bundle,
// no device, no data directory), as a host that follows the README does.
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "velqo/account/velqo_sdk.hpp"
#include "velqo/core/oauth_config.hpp"
#include "velqo/core/oauth_token_verifier.hpp"
#include "velqo/core/velqo_v1_crypto.hpp"
#include "velqo/platform/http.hpp"
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

  if (failures != 0) return 1;
  std::printf("consumer: all checks passed\n");
  return 0;
}
