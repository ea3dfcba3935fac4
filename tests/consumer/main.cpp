// A host program built against the installed headers and library only: it must compile
// without the library's sources or third-party headers, link with what the package
// exports, and run the pieces that need OpenSSL, libcurl and threads.
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "velqo/core/oauth_config.hpp"
#include "velqo/core/oauth_token_verifier.hpp"
#include "velqo/core/velqo_v1_crypto.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/platform/queue.hpp"

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

}  // namespace

int main() {
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

  if (failures != 0) return 1;
  std::printf("consumer: all checks passed\n");
  return 0;
}
