// End-to-end tests of velqo-cli: the built binary runs as a child process against the loopback
// reference service (embedded in the CLI, run by the CLI in the foreground, or hosted by this
// test process), over real HTTP on 127.0.0.1.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "cli_process.hpp"
#include "support/test_environment.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/v1_reference_flow.hpp"

namespace velqo::e2e {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;
namespace ls = velqo::localservice;

constexpr const char* kConfig = "e2e-config";

Json parse(const std::optional<std::string>& line) {
  if (!line) return Json();
  return Json::parse(*line, nullptr, false);
}

bool isPromptOf(const Json& update, const std::string& type) {
  return update.is_object() && update.value("update", "") == "prompt" &&
         update["prompt"].value("type", "") == type;
}

// The reference service hosted by this test process, so the tests can read the codes it sends
// and look at what it received and registered.
class HostedService {
 public:
  explicit HostedService(std::chrono::seconds resendDelay = 5s) : flow_(service_, options(resendDelay)) {}

  std::string baseUrl() const { return flow_.baseURL(); }
  ls::V1ReferenceFlow& flow() { return flow_; }

  std::string codeNumber(std::size_t index, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    if (!sent_.wait_for(lock, timeout, [&] { return codes_.size() > index; })) return {};
    return codes_[index].code;
  }
  std::size_t codeCount() {
    std::lock_guard lock(mutex_);
    return codes_.size();
  }

  // The start actions the service received, as JSON.
  std::vector<Json> actionsOfType(const std::string& type) {
    std::vector<Json> out;
    for (const auto& exchange : flow_.peer().exchanges()) {
      if (exchange.actionType == type) out.push_back(Json::parse(exchange.request.body)["action"]);
    }
    return out;
  }

  std::string writePem(const std::filesystem::path& dir) {
    const auto path = dir / "id-token.pem";
    std::ofstream(path) << flow_.idTokenPublicKeyPem();
    return path.string();
  }

 private:
  ls::V1ReferenceOptions options(std::chrono::seconds resendDelay) {
    ls::V1ReferenceOptions o;
    o.resendDelay = resendDelay;
    o.onCodeSent = [this](const ls::SentCode& code) {
      std::lock_guard lock(mutex_);
      codes_.push_back(code);
      sent_.notify_all();
    };
    o.onRedirect = [this](const std::string&, const std::string& url) {
      std::lock_guard lock(mutex_);
      callbacks_.push_back(url);
      sent_.notify_all();
    };
    return o;
  }

  ls::LocalService service_;
  ls::V1ReferenceFlow flow_;
  std::mutex mutex_;
  std::condition_variable sent_;
  std::vector<ls::SentCode> codes_;
  std::vector<std::string> callbacks_;

 public:
  std::string callbackUrl(std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    if (!sent_.wait_for(lock, timeout, [&] { return !callbacks_.empty(); })) return {};
    return callbacks_.back();
  }
};

std::vector<std::string> signinArgs(const std::filesystem::path& dataDir, const std::string& identifier,
                                    const std::optional<std::string>& baseUrl,
                                    std::vector<std::string> extra = {},
                                    std::vector<std::string> global = {}) {
  std::vector<std::string> args = {"--data-dir", dataDir.string()};
  args.insert(args.end(), global.begin(), global.end());
  args.insert(args.end(), {"v1", "signin", "--config-id", kConfig, "--identifier", identifier});
  if (baseUrl) args.insert(args.end(), {"--base-url", *baseUrl});
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// The stdout updates of a run, parsed.
std::vector<Json> updatesOf(const CliRun& run) {
  std::vector<Json> out;
  for (const auto& line : run.stdoutLines) out.push_back(Json::parse(line, nullptr, false));
  return out;
}

// A first sign-in against the hosted service: answers the code prompt with the code sent.
// Returns the process's updates in order; `status` receives the exit status.
std::vector<Json> signInWithCode(HostedService& service, const std::filesystem::path& dataDir,
                                 const std::string& identifier, int& status,
                                 std::vector<std::string> extra = {}, std::vector<std::string> global = {}) {
  const std::size_t codesBefore = service.codeCount();
  CliProcess cli(signinArgs(dataDir, identifier, service.baseUrl(), std::move(extra), std::move(global)));
  std::vector<Json> updates;
  for (auto line = cli.nextStdoutLine(); line; line = cli.nextStdoutLine()) {
    updates.push_back(parse(line));
    if (isPromptOf(updates.back(), "enter_code")) cli.writeLine(service.codeNumber(codesBefore));
    if (updates.back().value("update", "") != "prompt" && updates.back().value("update", "") != "loading")
      break;
  }
  cli.closeStdin();
  status = cli.wait();
  while (auto rest = cli.nextStdoutLine(2s)) updates.push_back(parse(rest));
  return updates;
}

// ---------------------------------------------------------------------------------------------
// Sign-in: first and returning, persistent data directory, device proof, fallback keys.

TEST(CliSignIn, EmbeddedServiceRemembersTheDeviceAcrossProcesses) {
  const auto dataDir = testing::makeTempDirectory("embedded");

  // First run: a new user, answered with the code the embedded service prints.
  {
    CliProcess cli(signinArgs(dataDir, "first@example.com", std::nullopt));
    const Json prompt = parse(cli.nextStdoutLine());
    ASSERT_TRUE(isPromptOf(prompt, "enter_code")) << prompt;
    EXPECT_EQ(prompt["prompt"]["destination"], "f***@example.com");
    const auto sent =
        cli.waitForStderrLine([](const std::string& l) { return l.find("sent code ") != std::string::npos; });
    ASSERT_TRUE(sent);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(*sent, match, std::regex("sent code ([0-9]{6})")));
    cli.writeLine(match[1]);
    const Json completed = parse(cli.nextStdoutLine());
    EXPECT_EQ(completed.value("update", ""), "completed") << completed;
    EXPECT_FALSE(completed.value("authCode", "").empty());
    EXPECT_EQ(cli.wait(), 0) << cli.stderrText();
  }

  const CliRun stored = runCli({"--data-dir", dataDir.string(), "v1", "credentials", "--config-id", kConfig,
                                "--identifier", "first@example.com"});
  ASSERT_EQ(stored.status, 0);
  const Json credentials = Json::parse(stored.stdoutLines.at(0));
  for (const char* key : {"keyset", "hindex", "sk2"}) EXPECT_FALSE(credentials.value(key, "").empty()) << key;

  // Second run, new process, same directory: no prompt at all; the stored credentials go with
  // the start and the device answers a challenge.
  const CliRun returning = runCli(signinArgs(dataDir, "first@example.com", std::nullopt, {}, {"--debug"}));
  ASSERT_EQ(returning.status, 0) << returning.stderrText;
  ASSERT_EQ(returning.stdoutLines.size(), 1u);
  EXPECT_EQ(Json::parse(returning.stdoutLines[0]).value("update", ""), "completed");
  EXPECT_NE(returning.stderrText.find("hasDeviceCredentials=true"), std::string::npos);
  EXPECT_NE(returning.stderrText.find("prompt=device_challenge"), std::string::npos);
  EXPECT_EQ(returning.stderrText.find("sent code"), std::string::npos);

  // Another data directory is another device: it has to verify the user again.
  const CliRun otherDevice =
      runCli(signinArgs(testing::makeTempDirectory("other-device"), "first@example.com", std::nullopt));
  EXPECT_EQ(otherDevice.status, 1);
  EXPECT_TRUE(isPromptOf(Json::parse(otherDevice.stdoutLines.at(0)), "enter_code"));
}

TEST(CliSignIn, ReturningSignInProvesTheRegisteredDeviceToTheService) {
  HostedService service;
  const auto dataDir = testing::makeTempDirectory("returning");
  int status = -1;
  auto first = signInWithCode(service, dataDir, "Ret@Example.com", status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(first.back().value("update", ""), "completed") << first.back();
  EXPECT_EQ(service.flow().registeredDeviceCount(), 1u);

  const CliRun second = runCli(signinArgs(dataDir, "ret@example.com", service.baseUrl()));
  ASSERT_EQ(second.status, 0) << second.stderrText;
  EXPECT_EQ(service.flow().returningDeviceCount(), 1u);
  const auto starts = service.actionsOfType("start");
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_FALSE(starts[0].contains("deviceCredentials"));
  ASSERT_TRUE(starts[1].contains("deviceCredentials"));
  EXPECT_EQ(starts[1]["deviceCredentials"]["hindex"],
            service.actionsOfType("request_challenge").at(0)["hindex"]);
  EXPECT_EQ(service.actionsOfType("submit_signature").size(), 2u);
  EXPECT_EQ(service.codeCount(), 1u) << "the returning sign-in needed no code";

  // Forgetting the credentials makes the next sign-in a first one again.
  const CliRun forget = runCli({"--data-dir", dataDir.string(), "v1", "forget", "--config-id", kConfig,
                                "--identifier", "ret@example.com"});
  EXPECT_EQ(forget.status, 0);
  EXPECT_EQ(Json::parse(forget.stdoutLines.at(0)), Json({{"cleared", true}}));
  const CliRun after = runCli({"--data-dir", dataDir.string(), "v1", "credentials", "--config-id", kConfig,
                               "--identifier", "ret@example.com"});
  EXPECT_EQ(after.stdoutLines, std::vector<std::string>{"null"});
}

TEST(CliSignIn, FallsBackToStoredSecretsWithoutTheHardwareKey) {
  HostedService service;
  const auto dataDir = testing::makeTempDirectory("fallback");
  int status = -1;
  auto first =
      signInWithCode(service, dataDir, "fb@example.com", status, {}, {"--no-secure-enclave", "--debug"});
  ASSERT_EQ(status, 0);
  EXPECT_EQ(first.back().value("update", ""), "completed");

  const CliRun again = runCli(
      signinArgs(dataDir, "fb@example.com", service.baseUrl(), {}, {"--no-secure-enclave", "--debug"}));
  ASSERT_EQ(again.status, 0) << again.stderrText;
  EXPECT_NE(again.stderrText.find("keyStore=software_fallback"), std::string::npos);
  EXPECT_EQ(again.stderrText.find("keyStore=secure_enclave"), std::string::npos);
  EXPECT_EQ(service.flow().returningDeviceCount(), 1u);

  // A credential made with the hardware key cannot be opened once the key store is gone: the
  // device is set up again (in the fallback) after a new code, and proves itself afterwards.
  const auto hardwareDir = testing::makeTempDirectory("hardware");
  first = signInWithCode(service, hardwareDir, "hw@example.com", status);
  ASSERT_EQ(status, 0);
  first = signInWithCode(service, hardwareDir, "hw@example.com", status, {}, {"--no-secure-enclave"});
  ASSERT_EQ(status, 0);
  EXPECT_TRUE(isPromptOf(first.front(), "enter_code")) << first.front();
  const CliRun proven =
      runCli(signinArgs(hardwareDir, "hw@example.com", service.baseUrl(), {}, {"--no-secure-enclave"}));
  EXPECT_EQ(proven.status, 0);
  EXPECT_EQ(service.flow().returningDeviceCount(), 2u);
}

TEST(CliSignIn, RedirectPromptTakesTheCallbackUrlFromStandardInput) {
  HostedService service;
  CliProcess cli(
      signinArgs(testing::makeTempDirectory("redirect"), "web-user", service.baseUrl(), {"--manual-method"}));
  const Json select = parse(cli.nextStdoutLine());
  ASSERT_TRUE(isPromptOf(select, "select_method")) << select;
  cli.writeLine("oauth_redirect");
  const Json redirect = parse(cli.nextStdoutLine());
  ASSERT_TRUE(isPromptOf(redirect, "redirect")) << redirect;
  EXPECT_EQ(redirect["prompt"].value("returnScheme", ""), "velqocli");
  EXPECT_NE(redirect["prompt"].value("url", "").find("/oauth/authorize?state="), std::string::npos);

  // A line that is no callback URL is refused and the URL asked for again.
  cli.writeLine("velqocli://callback?state=only");
  ASSERT_TRUE(cli.waitForStderrLine(
      [](const std::string& l) { return l.find("enter the callback URL again") != std::string::npos; }));
  cli.writeLine(service.callbackUrl());
  const Json completed = parse(cli.nextStdoutLine());
  EXPECT_EQ(completed.value("update", ""), "completed") << completed;
  EXPECT_EQ(cli.wait(), 0);
  EXPECT_EQ(service.actionsOfType("oauth_callback").size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Failures: error updates, end of input, resend, redaction of diagnostic lines.

TEST(CliSignIn, ErrorUpdatesEndTheRunWithStatusOne) {
  HostedService service;
  const auto dataDir = testing::makeTempDirectory("errors");

  const CliRun wrongCode = runCli(signinArgs(dataDir, "err@example.com", service.baseUrl()), "999999x\n");
  EXPECT_EQ(wrongCode.status, 1);
  const auto updates = updatesOf(wrongCode);
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(updates[1].value("update", ""), "error");
  EXPECT_EQ(updates[1].value("code", ""), "invalid_code");
  EXPECT_EQ(updates[1].value("action", ""), "retry_input");
  EXPECT_EQ(updates[1]["details"]["attemptsRemaining"], 4);

  // End of input while the code is awaited cancels the flow.
  const CliRun closed = runCli(signinArgs(dataDir, "err@example.com", service.baseUrl()));
  EXPECT_EQ(closed.status, 1);
  EXPECT_EQ(updatesOf(closed).back().value("code", ""), "cancelled");
  EXPECT_EQ(service.actionsOfType("cancel").size(), 1u);

  // No service at all: the transport error is an error update too.
  const CliRun unreachable =
      runCli(signinArgs(dataDir, "err@example.com", std::string("http://127.0.0.1:1/v1")));
  EXPECT_EQ(unreachable.status, 1);
  EXPECT_EQ(updatesOf(unreachable).back().value("code", ""), "transport_error");
}

TEST(CliSignIn, ResendIsGatedByTheServiceResendTime) {
  HostedService quick(0s);
  CliProcess cli(signinArgs(testing::makeTempDirectory("resend"), "re@example.com", quick.baseUrl()));
  ASSERT_TRUE(isPromptOf(parse(cli.nextStdoutLine()), "enter_code"));
  const std::string firstCode = quick.codeNumber(0);
  cli.writeLine("resend");
  EXPECT_EQ(parse(cli.nextStdoutLine()), Json({{"resend", true}}));
  EXPECT_TRUE(isPromptOf(parse(cli.nextStdoutLine()), "enter_code"));
  const std::string secondCode = quick.codeNumber(1);
  ASSERT_FALSE(secondCode.empty());
  cli.writeLine(secondCode);
  EXPECT_EQ(parse(cli.nextStdoutLine()).value("update", ""), "completed");
  EXPECT_EQ(cli.wait(), 0);

  HostedService slow(300s);
  CliProcess gated(signinArgs(testing::makeTempDirectory("resend-gated"), "re@example.com", slow.baseUrl()));
  ASSERT_TRUE(isPromptOf(parse(gated.nextStdoutLine()), "enter_code"));
  gated.writeLine("resend");
  EXPECT_EQ(parse(gated.nextStdoutLine()), Json({{"resend", false}}));
  gated.writeLine(slow.codeNumber(0));  // the code is still awaited
  EXPECT_EQ(parse(gated.nextStdoutLine()).value("update", ""), "completed");
  EXPECT_EQ(gated.wait(), 0);
  EXPECT_EQ(slow.codeCount(), 1u);
}

TEST(CliSignIn, DiagnosticLinesNeverShowWhatTheUserTypedOrTheCodesIssued) {
  HostedService service;
  const auto dataDir = testing::makeTempDirectory("redaction");
  int status = -1;
  const std::string identifier = "secret.person@example.com";
  CliProcess cli(
      signinArgs(dataDir, identifier, service.baseUrl(), {"--invite-code", "INVITE-7781"}, {"--debug"}));
  ASSERT_TRUE(isPromptOf(parse(cli.nextStdoutLine()), "enter_code"));
  const std::string code = service.codeNumber(0);
  cli.writeLine(code);
  const Json completed = parse(cli.nextStdoutLine());
  status = cli.wait();
  ASSERT_EQ(status, 0);
  const std::string err = cli.stderrText();
  EXPECT_NE(err.find("[V1][WIRE][REQ]"), std::string::npos) << "diagnostics are on";
  for (const std::string& secret : {identifier, code, std::string("INVITE-7781"),
                                    completed.value("authCode", "x"), completed.value("codeVerifier", "x")}) {
    EXPECT_EQ(err.find(secret), std::string::npos) << "stderr shows " << secret;
  }
}

// ---------------------------------------------------------------------------------------------
// QR approval: binding another screen's session, and approving a sign-in on another device.

TEST(CliQr, BindsAndApprovesWithTheStoredDeviceCredential) {
  HostedService service;
  const auto phone = testing::makeTempDirectory("qr-phone");
  int status = -1;
  signInWithCode(service, phone, "qr@example.com", status);
  ASSERT_EQ(status, 0);
  auto qrArgs = [&](const std::filesystem::path& dir, const std::string& identifier,
                    const std::string& payload) {
    return std::vector<std::string>{"--data-dir",   dir.string(),      "v1",          "qr",
                                    "--base-url",   service.baseUrl(), "--config-id", kConfig,
                                    "--identifier", identifier,        "--payload",   payload};
  };

  const CliRun bound = runCli(qrArgs(phone, " QR@example.com ", service.flow().openQrLoginSession()));
  EXPECT_EQ(bound.status, 0) << bound.stderrText;
  EXPECT_EQ(Json::parse(bound.stdoutLines.at(0)), Json({{"outcome", "bound"}, {"userid", "qr@example.com"}}));

  // A sign-in on a second device waits for approval; the phone approves the QR code it shows.
  CliProcess laptop(signinArgs(testing::makeTempDirectory("qr-laptop"), "qr@example.com", service.baseUrl(),
                               {"--manual-method"}));
  const Json select = parse(laptop.nextStdoutLine());
  ASSERT_TRUE(isPromptOf(select, "select_method")) << select;
  laptop.writeLine("qr_approval");
  const Json awaiting = parse(laptop.nextStdoutLine());
  ASSERT_TRUE(isPromptOf(awaiting, "await_approval")) << awaiting;
  const std::string qrData = awaiting["prompt"].value("qrData", "");
  ASSERT_FALSE(qrData.empty());

  const CliRun stranger = runCli(qrArgs(testing::makeTempDirectory("qr-stranger"), "qr@example.com", qrData));
  EXPECT_EQ(stranger.status, 1);
  const Json strangerError = Json::parse(stranger.stdoutLines.at(0));
  EXPECT_EQ(strangerError["error"].value("code", ""), "device_not_found") << strangerError;

  const CliRun approved = runCli(qrArgs(phone, "qr@example.com", qrData));
  EXPECT_EQ(approved.status, 0) << approved.stderrText;
  EXPECT_EQ(Json::parse(approved.stdoutLines.at(0)), Json({{"outcome", "approved"}}));

  // The laptop's poll sees the approval and sets the laptop up as a device of its own.
  const Json completed = parse(laptop.nextStdoutLine(30s));
  EXPECT_EQ(completed.value("update", ""), "completed") << completed;
  EXPECT_EQ(laptop.wait(), 0);
  EXPECT_EQ(service.flow().registeredDeviceCount(), 2u);

  const CliRun reused = runCli(qrArgs(phone, "qr@example.com", qrData));
  EXPECT_EQ(reused.status, 1);
  const Json reusedError = Json::parse(reused.stdoutLines.at(0));
  EXPECT_EQ(reusedError["error"].value("code", ""), "qr_session_not_found");
  EXPECT_EQ(reusedError["error"].value("shouldClearRecord", true), false);

  const CliRun garbage = runCli(qrArgs(phone, "qr@example.com", "not a qr code"));
  EXPECT_EQ(garbage.status, 1);
  EXPECT_EQ(Json::parse(garbage.stdoutLines.at(0))["error"].value("code", ""), "invalid_payload");
}

// ---------------------------------------------------------------------------------------------
// Code exchange: during a sign-in, and on its own.

TEST(CliExchange, RedeemsTheFlowsCodeForAVerifiedIdToken) {
  HostedService service;
  const auto dir = testing::makeTempDirectory("exchange");
  const std::string pem = service.writePem(dir);
  const std::vector<std::string> tokenArgs = {
      "--token-endpoint", service.flow().tokenEndpointURL(), "--client-id", kConfig, "--pem-file", pem};
  int status = -1;
  auto updates = signInWithCode(service, dir, "ex@example.com", status, tokenArgs);
  EXPECT_EQ(status, 0);
  ASSERT_GE(updates.size(), 2u);
  const Json token = updates.back();
  ASSERT_TRUE(token.contains("token")) << token;
  EXPECT_EQ(token["token"].value("tokenType", ""), "Bearer");
  EXPECT_EQ(token["token"].value("expiresIn", 0), 3600);
  const std::string idToken = token["token"].value("idToken", "");
  EXPECT_EQ(std::count(idToken.begin(), idToken.end(), '.'), 2) << "a compact JWT";

  // A returning sign-in, then the exchange as a command of its own.
  const CliRun signin = runCli(signinArgs(dir, "ex@example.com", service.baseUrl()));
  ASSERT_EQ(signin.status, 0);
  const Json completed = Json::parse(signin.stdoutLines.at(0));
  auto exchange = [&](const std::string& clientId, const std::string& pemFile, bool withVerifier) {
    std::vector<std::string> args = {"v1",
                                     "exchange",
                                     "--token-endpoint",
                                     service.flow().tokenEndpointURL(),
                                     "--client-id",
                                     clientId,
                                     "--pem-file",
                                     pemFile,
                                     "--code",
                                     completed.value("authCode", "")};
    if (withVerifier) args.insert(args.end(), {"--verifier", completed.value("codeVerifier", "")});
    return runCli(args);
  };
  const CliRun noVerifier = exchange(kConfig, pem, false);
  EXPECT_EQ(noVerifier.status, 1);
  EXPECT_EQ(Json::parse(noVerifier.stdoutLines.at(0))["error"].value("case", ""), "invalidResponse");

  const CliRun redeemed = exchange(kConfig, pem, true);
  EXPECT_EQ(redeemed.status, 0) << redeemed.stdoutLines.at(0);
  EXPECT_TRUE(Json::parse(redeemed.stdoutLines.at(0)).contains("token"));

  const CliRun usedUp = exchange(kConfig, pem, true);
  EXPECT_EQ(usedUp.status, 1);
}

TEST(CliExchange, RefusesAnIdTokenTheConfiguredKeyDidNotSign) {
  HostedService service;
  HostedService other;
  const auto dir = testing::makeTempDirectory("exchange-key");
  const std::string wrongPem = other.writePem(dir);
  int status = -1;
  auto updates = signInWithCode(service, dir, "key@example.com", status,
                                {"--token-endpoint", service.flow().tokenEndpointURL(), "--client-id",
                                 kConfig, "--pem-file", wrongPem});
  EXPECT_EQ(status, 1);
  ASSERT_FALSE(updates.empty());
  EXPECT_EQ(updates.back()["error"].value("case", ""), "tokenVerificationFailed") << updates.back();
  EXPECT_EQ(updates[updates.size() - 2].value("update", ""), "completed");
}

// ---------------------------------------------------------------------------------------------
// The reference service in the foreground.

std::uint16_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

TEST(CliLocalService, ServesSignInsOnTheChosenPortUntilStopped) {
  const auto dir = testing::makeTempDirectory("foreground");
  for (const std::uint16_t port : {std::uint16_t{0}, freePort()}) {
    CliProcess server({"--data-dir", dir.string(), "local-service", "--port", std::to_string(port)});
    const auto baseUrl = server.nextStdoutLine();
    ASSERT_TRUE(baseUrl);
    if (port != 0) {
      EXPECT_EQ(*baseUrl, "http://127.0.0.1:" + std::to_string(port) + "/v1");
    }

    const CliRun signin = runCli(signinArgs(dir, "fg@example.com", *baseUrl), "000000\n");
    EXPECT_EQ(signin.status, 0) << signin.stderrText;
    EXPECT_EQ(Json::parse(signin.stdoutLines.back()).value("update", ""), "completed");

    server.terminate();
    EXPECT_EQ(server.wait(), 0);
  }
  // The device registered with the first service instance is still known to the second.
  const std::string state = [&] {
    std::ifstream in(dir / "localservice-state.json");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  EXPECT_EQ(Json::parse(state)["devices"].size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Bad usage.

TEST(CliUsage, BadCommandLinesExitWithStatusTwoAndTheUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"bogus"},
      {"v1"},
      {"v1", "signin", "--identifier", "a@example.com"},
      {"v1", "signin", "--config-id", "c", "--identifier", "a@example.com", "--flow", "secret-flow-42"},
      {"v1", "signin", "--config-id", "c", "--identifier", "a@example.com", "--secret-flow-42"},
      {"--secret-flow-42", "v1", "credentials", "--config-id", "c", "--identifier", "a@example.com"},
      {"v1", "signin", "--config-id", "c", "--identifier", "a@example.com", "--token-endpoint", "http://x"},
      {"v1", "signin", "--config-id", "c", "--identifier", "a@example.com", "--manual-method=yes"},
      {"v1", "signin", "--config-id", "c", "--config-id", "d", "--identifier", "a@example.com"},
      {"v1", "qr", "--config-id", "c", "--identifier", "a@example.com"},
      {"v1", "exchange", "--token-endpoint", "http://x", "--client-id", "c", "--pem-file", "/nonexistent",
       "--code", "abc"},
      {"v1", "credentials", "--config-id", "c"},
      {"v1", "signin", "--config-id", "c", "--identifier", "a@example.com", "--debug"},
      {"--data-dir"},
      {"local-service", "--port", "70000"},
  };
  for (const auto& args : cases) {
    const CliRun run = runCli(args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_TRUE(run.stdoutLines.empty()) << shown;
    EXPECT_EQ(run.stderrText.rfind("velqo-cli: ", 0), 0u) << shown << run.stderrText;
    EXPECT_EQ(run.stderrText.find("secret-flow-42"), std::string::npos) << "the value is echoed";
  }
  EXPECT_NE(runCli({"v1"}).stderrText.find("usage: velqo-cli"), std::string::npos);

  const CliRun help = runCli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_FALSE(help.stdoutLines.empty());
}

}  // namespace
}  // namespace velqo::e2e
