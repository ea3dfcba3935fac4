// End-to-end tests of velqo-cli's account commands against the loopback reference service
// hosted by this test process: the built binary runs as a child process over real HTTP.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli_process.hpp"
#include "support/test_environment.hpp"
#include "support/wait_bound.hpp"
#include "velqo_localservice/access_tokens.hpp"
#include "velqo_localservice/device_list_peer.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/push_peer.hpp"
#include "velqo_localservice/token_endpoint.hpp"
#include "velqo_localservice/v4_peer.hpp"
#include "velqo_localservice/v5_peer.hpp"
#include "velqo_localservice/web_login_peer.hpp"

namespace velqo::e2e {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;
namespace ls = velqo::localservice;

// The account side of the reference service.
class AccountService {
 public:
  AccountService()
      : tokens(std::make_shared<ls::AccessTokens>()),
        push(service, tokens),
        web(service, tokens),
        devices(service, tokens),
        tokenEndpoint(service),
        v4(service, &tokenEndpoint, v4Settings()),
        v5(service, v5Options()) {
    v5.setOnTokenIssued(grant());
  }

  std::string baseUrl() const { return service.baseUrl(); }

  ls::LocalService service;
  std::shared_ptr<ls::AccessTokens> tokens;
  ls::PushPeer push;
  ls::WebLoginPeer web;
  ls::DeviceListPeer devices;
  ls::TokenEndpoint tokenEndpoint;
  ls::V4Peer v4;
  ls::V5Peer v5;

  std::size_t requestsTo(const std::string& path) const {
    std::size_t count = 0;
    for (const auto& request : service.requests()) count += request.path == path ? 1 : 0;
    return count;
  }

 private:
  // The sign-in peers' tokens are bearer tokens of the other peers.
  std::function<void(const std::string&, const std::string&)> grant() {
    return [t = tokens](const std::string& user, const std::string& token) { t->grant(token, user); };
  }
  ls::V5Peer::Options v5Options() {
    ls::V5Peer::Options options;
    options.tokenEndpoint = &tokenEndpoint;
    return options;
  }
  ls::V4Peer::Settings v4Settings() {
    ls::V4Peer::Settings settings;
    settings.primeBits = 256;  // registration speed; the arithmetic is the same
    settings.onTokenIssued = grant();
    return settings;
  }
};

// One device: a data directory that every command of the test runs on.
class Device {
 public:
  Device(AccountService& service, const char* name)
      : service_(service), dir_(testing::makeTempDirectory(name)) {}

  std::vector<std::string> args(std::vector<std::string> words, std::vector<std::string> global = {}) const {
    std::vector<std::string> out = {"--data-dir", dir_.string()};
    out.insert(out.end(), global.begin(), global.end());
    out.push_back("account");
    out.insert(out.end(), words.begin(), words.end());
    out.insert(out.end(), {"--base-url", service_.baseUrl()});
    return out;
  }

  CliRun run(std::vector<std::string> words, const std::string& input = {}) const {
    return runCli(args(std::move(words)), input);
  }

  // The command's single JSON line (null when it printed another number of lines).
  Json line(std::vector<std::string> words, int expectedStatus = 0) const {
    const CliRun r = run(std::move(words));
    EXPECT_EQ(r.status, expectedStatus) << r.stderrText;
    if (r.stdoutLines.size() != 1) return Json();
    return Json::parse(r.stdoutLines[0], nullptr, false);
  }

  // A sign-in that answers otp_required with `code()`; every event printed, and the status.
  template <class CodeOf>
  std::pair<int, std::vector<Json>> signIn(const std::string& engine, const std::string& user, CodeOf code,
                                           std::vector<std::string> global = {}) const {
    CliProcess cli(args({engine, "signin", "--userid", user}, std::move(global)));
    std::vector<Json> events;
    for (auto line = cli.nextStdoutLine(testing::kWaitBound); line;
         line = cli.nextStdoutLine(testing::kWaitBound)) {
      events.push_back(Json::parse(*line, nullptr, false));
      if (events.back().value("event", "") != "otp_required") break;
      cli.writeLine(code());
    }
    cli.closeStdin();
    return {cli.wait(testing::kWaitBound), events};
  }

  std::pair<int, std::vector<Json>> signInV4(const std::string& user) const {
    return signIn("v4", user, [&] { return service_.v4.otpFor(user).value_or("none"); });
  }
  std::pair<int, std::vector<Json>> signInV5(const std::string& user,
                                             std::vector<std::string> global = {}) const {
    return signIn(
        "v5", user, [] { return std::string("123456"); }, std::move(global));
  }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  AccountService& service_;
  std::filesystem::path dir_;
};

Json event(const std::string& name) {
  return Json{{"event", name}};
}

// A sign-in that registered the device: the code was asked for, then success without a login.
void expectRegistration(const std::pair<int, std::vector<Json>>& run) {
  EXPECT_EQ(run.first, 0);
  ASSERT_EQ(run.second.size(), 2u);
  EXPECT_EQ(run.second[0], event("otp_required"));
  EXPECT_EQ(run.second[1].value("isLoginFlow", true), false) << run.second[1];
}

// ---------------------------------------------------------------------------------------------
// V5: first and returning sign-in, with and without the hardware-key store.

Json v5Success(const std::string& token, bool isLoginFlow) {
  return Json{
      {"event", "success"}, {"accessToken", token}, {"refreshToken", token}, {"isLoginFlow", isLoginFlow}};
}

TEST(CliAccountV5, FirstAndReturningSignInWithAndWithoutTheHardwareKeyStore) {
  AccountService service;
  const Device phone(service, "v5");
  const std::string user = "v5-user@example.com";
  const CliRun first = runCli(phone.args({"v5", "signin", "--userid", user}, {"--debug"}), "123456\n");
  ASSERT_EQ(first.status, 0) << first.stderrText;
  ASSERT_EQ(first.stdoutLines.size(), 2u);
  EXPECT_EQ(Json::parse(first.stdoutLines[0]), event("otp_required"));
  const std::string issued = service.v5.logins().at(0).issued;
  EXPECT_EQ(Json::parse(first.stdoutLines[1]), v5Success(issued, false));
  EXPECT_NE(first.stderrText.find("[V5PendingRegistrationStore]"), std::string::npos) << "diagnostics are on";
  for (const std::string& secret : {user, std::string("123456"), issued}) {
    EXPECT_EQ(first.stderrText.find(secret), std::string::npos) << "stderr shows " << secret;
  }
  const auto [status, returning] = phone.signInV5(user);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(returning.size(), 1u);
  EXPECT_EQ(returning[0], v5Success(service.v5.logins().at(1).issued, true));

  // A record bound to the hardware key cannot be opened once the store is not available: the
  // device registers again, and logs in without the hardware key from then on.
  const std::vector<std::string> noKey = {"--no-secure-enclave"};
  expectRegistration(phone.signInV5(user, noKey));
  EXPECT_EQ(service.v5.registrationCount(), 2u);
  EXPECT_TRUE(phone.signInV5(user, noKey).second.at(0)["isLoginFlow"].get<bool>());
}

TEST(CliAccountV5, ASecondProcessResumesTheRegistrationTheFirstLeftOpen) {
  AccountService service;
  const Device phone(service, "v5-resume");
  const CliRun left = phone.run({"v5", "signin", "--userid", "r@example.com"});
  EXPECT_EQ(left.status, 1);
  EXPECT_EQ(left.stdoutLines,
            (std::vector<std::string>{R"({"event":"otp_required"})", R"({"event":"cancelled"})"}));

  expectRegistration(phone.signInV5("r@example.com"));
  EXPECT_EQ(service.requestsTo("/v5/auth-init"), 2u) << "one registration auth-init, one login auth-init";
  EXPECT_EQ(service.v5.registrationCount(), 1u);
}

TEST(CliAccountV5, AStaleDeviceRegistersAgain) {
  AccountService service;
  const Device phone(service, "v5-stale");
  ASSERT_EQ(phone.signInV5("s@example.com").first, 0);
  service.v5.forgetDevices();
  expectRegistration(phone.signInV5("s@example.com"));
  EXPECT_EQ(service.v5.registrationCount(), 2u);
  EXPECT_EQ(service.v5.deviceCount(), 1u);
}

TEST(CliAccountV5, TheThreeEndingsOfALogin) {
  AccountService service;
  const Device phone(service, "v5-endings");
  ASSERT_EQ(phone.signInV5("e@example.com").first, 0);

  service.v5.setEnding(ls::V5Peer::Ending::code);
  auto [codeStatus, code] = phone.signInV5("e@example.com");
  EXPECT_EQ(codeStatus, 0);
  ASSERT_EQ(code.size(), 1u);
  EXPECT_EQ(code[0], Json({{"event", "authorization_code"},
                           {"code", service.v5.logins().back().issued},
                           {"expiresIn", 300}}));

  // With the OAuth settings the engine redeems the code itself and verifies the ID token.
  const auto pem = phone.dir() / "id-token.pem";
  std::ofstream(pem) << service.service.publicKeyPem(ls::Curve::p256);
  const CliRun redeemed = runCli(
      phone.args({"v5", "signin", "--userid", "e@example.com", "--token-endpoint",
                  service.tokenEndpoint.url(), "--client-id", "client-v5", "--pem-file", pem.string()}));
  EXPECT_EQ(redeemed.status, 0) << redeemed.stderrText;
  ASSERT_EQ(redeemed.stdoutLines.size(), 1u);
  const Json success = Json::parse(redeemed.stdoutLines[0]);
  EXPECT_EQ(success.value("event", ""), "success");
  const std::string idToken = success.value("accessToken", "");
  EXPECT_EQ(std::count(idToken.begin(), idToken.end(), '.'), 2) << "a compact JWT";

  service.v5.setEnding(ls::V5Peer::Ending::sessionId);
  auto [sessionStatus, session] = phone.signInV5("e@example.com");
  EXPECT_EQ(sessionStatus, 0);
  ASSERT_EQ(session.size(), 1u);
  EXPECT_EQ(session[0], Json({{"event", "additional_verification"},
                              {"sessionId", service.v5.logins().back().issued},
                              {"detail", "Additional verification required"}}));
}

// ---------------------------------------------------------------------------------------------
// V4 sign-in, push login and web login by PIN: what each command prints, and the errors it
// passes on.

TEST(CliAccountPushAndWeb, RegistersTheTokenAndAnswersLoginRequests) {
  AccountService service;
  const Device phone(service, "push");
  const std::string user = "push@example.com";

  // Without a signed-in user the token is kept and nothing is sent.
  EXPECT_EQ(phone.line({"push", "register", "--token", "0AFF"}),
            Json({{"pushToken", "0aff"}, {"registered", false}}));

  // V4: a registration with a code, then a login that proves the device in a new process.
  const auto [regStatus, registration] = phone.signInV4(user);
  EXPECT_EQ(regStatus, 0);
  EXPECT_EQ(registration, (std::vector<Json>{event("otp_required"), Json({{"event", "success"},
                                                                          {"accessToken", nullptr},
                                                                          {"refreshToken", nullptr},
                                                                          {"isLoginFlow", false}})}));
  const auto [loginStatus, login] = phone.signInV4(user);
  EXPECT_EQ(loginStatus, 0);
  ASSERT_EQ(login.size(), 1u) << "no code for a registered device";
  EXPECT_TRUE(login[0]["isLoginFlow"].get<bool>());
  const std::string idToken = login[0].value("accessToken", "");
  EXPECT_EQ(std::count(idToken.begin(), idToken.end(), '.'), 2) << "the service's ID token";
  EXPECT_EQ(service.v4.provenLogins(), 1u);
  EXPECT_EQ(phone.line({"last-user"}), Json({{"lastUser", user}}));
  // A wrong code ends the attempt with the error's raw code and status 1.
  const CliRun wrong =
      Device(service, "v4-other").run({"v4", "signin", "--userid", "w@example.com"}, "999999x\n");
  EXPECT_EQ(wrong.status, 1);
  ASSERT_EQ(wrong.stdoutLines.size(), 2u);
  EXPECT_EQ(Json::parse(wrong.stdoutLines[1]).value("code", ""), "OTP_VERIFICATION_FAILED");

  EXPECT_EQ(phone.line({"push", "register", "--token", "0B0c"}),
            Json({{"pushToken", "0b0c"}, {"registered", true}}));
  ASSERT_EQ(service.push.registrations().size(), 1u);
  EXPECT_EQ(service.push.registrations()[0].userid, user);

  // A delivered login request is fetched and shown; with --approve it is then approved.
  const std::string first = service.push.raiseLoginRequest(user);
  const Json payload = Json{{"request_id", first}};
  EXPECT_EQ(phone.line({"push", "handle", "--payload", payload.dump()})["loginRequest"],
            Json({{"requestId", first},
                  {"details",
                   {{"request_id", first},
                    {"ip_address", "203.0.113.7"},
                    {"browser", "Firefox on Linux"},
                    {"timestamp", "2026-01-01T12:00:00Z"}}}}));
  const CliRun approved = phone.run({"push", "handle", "--payload", payload.dump(), "--approve"});
  EXPECT_EQ(approved.status, 0) << approved.stderrText;
  ASSERT_EQ(approved.stdoutLines.size(), 2u);
  EXPECT_EQ(Json::parse(approved.stdoutLines[1]), Json({{"approved", true}}));
  EXPECT_EQ(service.push.decision(first), ls::PushPeer::Decision::approved);

  const std::string second = service.push.raiseLoginRequest(user);
  EXPECT_EQ(phone.line({"push", "decline", "--request-id", second}), Json({{"declined", true}}));
  EXPECT_EQ(service.push.decision(second), ls::PushPeer::Decision::declined);
  // An answered request refuses a second answer: the status is the error's code.
  EXPECT_EQ(phone.line({"push", "approve", "--request-id", second}, 1),
            Json({{"error", {{"domain", "VelqoSDK"}, {"code", 409}, {"message", "Action failed."}}}}));
  EXPECT_EQ(phone.line({"push", "handle", "--payload", R"({"request_id": 5})"}, 1),
            Json({{"handled", false}}));

  // Web login: the session is looked up by its PIN, then approved once.
  const std::string token = service.web.openSession("4821");
  const Json found = phone.line({"web-login", "--pin", "4821"});
  EXPECT_EQ(found["webLogin"]["webToken"], token);
  EXPECT_EQ(found["webLogin"]["sessionDetails"], Json::parse(ls::WebLoginPeer::defaultSessionDetails));
  EXPECT_EQ(phone.line({"web-login", "--pin", "0000"}, 1),
            Json({{"error",
                   {{"code", "INVALID_PIN"},
                    {"message", "The PIN entered is invalid or expired. Please try again."}}}}));
  EXPECT_EQ(phone.line({"web-approve", "--token", token}), Json({{"approved", true}}));
  EXPECT_EQ(phone.line({"web-approve", "--token", token}, 1)["error"]["code"], "FAILED_APPROVE");
  ASSERT_EQ(service.web.approvals().size(), 1u);
  EXPECT_EQ(service.web.approvals()[0].userid, user);
}

// ---------------------------------------------------------------------------------------------
// Tokens from the host's back end, the device list, and the three clearing operations.

TEST(CliAccountStore, StoredTokensServeTheDeviceListUntilCleared) {
  AccountService service;
  const Device phone(service, "store");
  const std::string user = "store@example.com";
  EXPECT_EQ(phone.line({"devices"}, 1), Json({{"error", "device_details_failed"}})) << "nobody signed in";

  service.tokens->grant("backend-token-1", user);
  const Json devices = Json::parse(R"([{"id":"d1","platform":"ios","browser_name":"Safari","model":"P",)"
                                   R"("os_version":"17","login_time":"2026-01-01T12:00:00Z"}])");
  service.devices.setDevices(user, devices.dump());
  EXPECT_EQ(phone.line({"store-tokens", "--userid", user, "--access-token", "backend-token-1"}),
            Json({{"stored", true}}));
  EXPECT_EQ(phone.line({"last-user"}), Json({{"lastUser", user}}));
  EXPECT_EQ(phone.line({"devices"}), Json({{"devices", devices}}));

  EXPECT_EQ(phone.line({"clear", "--userid", user, "--session"}), Json({{"cleared", "session"}}));
  EXPECT_EQ(phone.line({"devices"}, 1), Json({{"error", "device_details_failed"}})) << "the token is gone";
  EXPECT_EQ(phone.line({"last-user"}), Json({{"lastUser", user}})) << "the session clear keeps the user";
  EXPECT_EQ(phone.line({"clear", "--last-user"}), Json({{"cleared", "last_user"}}));
  EXPECT_EQ(phone.line({"last-user"}), Json({{"lastUser", ""}}));

  // Clearing everything for a user makes the next sign-in a registration again.
  ASSERT_EQ(phone.signInV4(user).first, 0);
  EXPECT_EQ(phone.line({"clear", "--userid", user, "--all"}), Json({{"cleared", "all"}}));
  expectRegistration(phone.signInV4(user));
}

// ---------------------------------------------------------------------------------------------
// The embedded service: every account road in separate processes, its state in the data
// directory between them.

TEST(CliAccountEmbedded, KeepsItsAccountStateAcrossProcesses) {
  const auto dir = testing::makeTempDirectory("embedded");
  auto args = [&](const std::vector<std::string>& words) { return inDataDirectory(dir, words); };
  auto line = [&](const std::vector<std::string>& words) { return runCliForJsonLine(dir, words); };
  const std::string user = "embedded@example.com";

  const CliRun first = runCli(args({"account", "v5", "signin", "--userid", user}), "123456\n");
  EXPECT_EQ(first.status, 0);
  EXPECT_NE(first.stderrText.find("[local-service] sent V5 code 123456"), std::string::npos)
      << first.stderrText;

  // The device and the token it was given outlive the process that made them.
  const CliRun returning = runCli(args({"account", "v5", "signin", "--userid", user}));
  ASSERT_EQ(returning.status, 0) << returning.stderrText;
  EXPECT_TRUE(Json::parse(returning.stdoutLines.at(0)).value("isLoginFlow", false));
  const Json devices = line({"account", "devices"})["devices"];
  ASSERT_EQ(devices.size(), 1u) << devices;
  EXPECT_EQ(devices[0].value("id", ""), "velqo-cli-v5");
  EXPECT_EQ(line({"account", "push", "register", "--token", "c0ffee"}),
            Json({{"pushToken", "c0ffee"}, {"registered", true}}));

  const std::string requestId =
      line({"local-service", "login-request", "--userid", user}).value("requestId", "");
  const CliRun approved = runCli(
      args({"account", "push", "handle", "--payload", Json{{"request_id", requestId}}.dump(), "--approve"}));
  EXPECT_EQ(approved.status, 0) << approved.stderrText;
  EXPECT_EQ(approved.stdoutLines.size(), 2u);
  const CliRun twice = runCli(args({"account", "push", "approve", "--request-id", requestId}));
  EXPECT_EQ(twice.status, 1) << "the approval was kept";

  const Json session = line({"local-service", "web-session", "--pin", "5150"});
  const CliRun web = runCli(args({"account", "web-login", "--pin", "5150", "--approve"}));
  EXPECT_EQ(web.status, 0) << web.stderrText;
  ASSERT_EQ(web.stdoutLines.size(), 2u);
  EXPECT_EQ(Json::parse(web.stdoutLines[0])["webLogin"]["webToken"], session["webToken"]);
  EXPECT_EQ(runCli(args({"account", "web-login", "--pin", "5150"})).status, 1)
      << "an approved session is closed";
}

}  // namespace
}  // namespace velqo::e2e
