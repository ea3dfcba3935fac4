// End-to-end tests of velqo-cli: the built binary runs as a child process against the loopback
// reference service hosted by this test process, over real HTTP on 127.0.0.1.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "cli_process.hpp"
#include "support/test_environment.hpp"
#include "support/wait_bound.hpp"
#include "v1/protocol/test_data.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/v1_peer.hpp"
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
  HostedService() : flow_(service_, options()) {}

  std::string baseUrl() const { return flow_.baseURL(); }
  ls::V1ReferenceFlow& flow() { return flow_; }

  std::string codeNumber(std::size_t index, std::chrono::milliseconds timeout = testing::kWaitBound) {
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
  ls::V1ReferenceOptions options() {
    ls::V1ReferenceOptions o;
    o.onCodeSent = [this](const ls::SentCode& code) {
      std::lock_guard lock(mutex_);
      codes_.push_back(code);
      sent_.notify_all();
    };
    return o;
  }

  ls::LocalService service_;
  ls::V1ReferenceFlow flow_;
  std::mutex mutex_;
  std::condition_variable sent_;
  std::vector<ls::SentCode> codes_;
};

std::vector<std::string> signinArgs(const std::filesystem::path& dataDir, const std::string& identifier,
                                    const std::string& baseUrl, std::vector<std::string> extra = {},
                                    std::vector<std::string> global = {}) {
  std::vector<std::string> args = {"--data-dir", dataDir.string()};
  args.insert(args.end(), global.begin(), global.end());
  args.insert(args.end(), {"v1", "signin", "--config-id", kConfig, "--identifier", identifier});
  args.insert(args.end(), {"--base-url", baseUrl});
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// A sign-in against the hosted service that answers the code prompt with the code sent.
struct SignIn {
  int status = -1;
  std::vector<Json> updates;
  std::string stderrText;
};

SignIn signInWithCode(HostedService& service, const std::filesystem::path& dataDir,
                      const std::string& identifier, std::vector<std::string> extra = {},
                      std::vector<std::string> global = {}) {
  const std::size_t codesBefore = service.codeCount();
  CliProcess cli(signinArgs(dataDir, identifier, service.baseUrl(), std::move(extra), std::move(global)));
  SignIn run;
  for (auto line = cli.nextStdoutLine(); line; line = cli.nextStdoutLine()) {
    run.updates.push_back(parse(line));
    const std::string kind = run.updates.back().value("update", "");
    if (isPromptOf(run.updates.back(), "enter_code")) cli.writeLine(service.codeNumber(codesBefore));
    if (kind != "prompt" && kind != "loading") break;
  }
  cli.closeStdin();
  run.status = cli.wait();
  while (auto rest = cli.nextStdoutLine(testing::kWaitBound)) run.updates.push_back(parse(rest));
  run.stderrText = cli.stderrText();
  return run;
}

std::vector<std::string> credentialsArgs(const std::filesystem::path& dataDir, const char* command,
                                         const std::string& identifier) {
  return {"--data-dir", dataDir.string(), "v1", command, "--config-id", kConfig, "--identifier", identifier};
}

TEST(CliSignIn, FirstAndReturningSignInWithAndWithoutTheHardwareKey) {
  HostedService service;
  const auto dataDir = testing::makeTempDirectory("returning");
  const std::string typed = "Secret.Person@Example.com";
  const std::string user = "secret.person@example.com";
  const auto first = signInWithCode(service, dataDir, typed, {"--invite-code", "INVITE-7781"}, {"--debug"});
  ASSERT_EQ(first.status, 0);
  ASSERT_TRUE(isPromptOf(first.updates.front(), "enter_code")) << first.updates.front();
  EXPECT_EQ(first.updates.front()["prompt"]["destination"], "s***@example.com");
  const Json& completed = first.updates.back();
  ASSERT_EQ(completed.value("update", ""), "completed") << completed;
  EXPECT_FALSE(completed.value("authCode", "").empty());
  EXPECT_NE(first.stderrText.find("[V1][WIRE][REQ]"), std::string::npos) << "diagnostics are on";
  for (const std::string& secret : {typed, service.codeNumber(0), std::string("INVITE-7781"),
                                    completed.value("authCode", "x"), completed.value("codeVerifier", "x")}) {
    EXPECT_EQ(first.stderrText.find(secret), std::string::npos) << "stderr shows " << secret;
  }
  EXPECT_EQ(service.flow().registeredDeviceCount(), 1u);
  const CliRun stored = runCli(credentialsArgs(dataDir, "credentials", user));
  ASSERT_EQ(stored.status, 0);
  const Json credentials = Json::parse(stored.stdoutLines.at(0));
  for (const char* key : {"keyset", "hindex", "sk2"}) EXPECT_FALSE(credentials.value(key, "").empty()) << key;

  // A new process on the same directory: no prompt; the start carries the stored credentials
  // and the device answers a challenge.
  const CliRun second = runCli(signinArgs(dataDir, user, service.baseUrl()));
  ASSERT_EQ(second.status, 0) << second.stderrText;
  ASSERT_EQ(second.stdoutLines.size(), 1u);
  EXPECT_EQ(Json::parse(second.stdoutLines[0]).value("update", ""), "completed");
  EXPECT_EQ(service.flow().returningDeviceCount(), 1u);
  const auto starts = service.actionsOfType("start");
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_FALSE(starts[0].contains("deviceCredentials"));
  EXPECT_EQ(starts[1]["deviceCredentials"]["hindex"], credentials["hindex"]);
  EXPECT_EQ(service.actionsOfType("submit_signature").size(), 2u);
  EXPECT_EQ(service.codeCount(), 1u) << "the returning sign-in needed no code";

  // Without the hardware key store the stored credential cannot be opened: the device is set
  // up again in the fallback after a new code, and proves itself from the fallback afterwards.
  const std::vector<std::string> noKey = {"--no-secure-enclave", "--debug"};
  const auto redo = signInWithCode(service, dataDir, user, {}, noKey);
  ASSERT_EQ(redo.status, 0);
  EXPECT_TRUE(isPromptOf(redo.updates.front(), "enter_code")) << redo.updates.front();
  const CliRun again = runCli(signinArgs(dataDir, user, service.baseUrl(), {}, noKey));
  ASSERT_EQ(again.status, 0) << again.stderrText;
  EXPECT_NE(again.stderrText.find("keyStore=software_fallback"), std::string::npos);
  EXPECT_EQ(again.stderrText.find("keyStore=secure_enclave"), std::string::npos);
  EXPECT_EQ(service.flow().returningDeviceCount(), 2u);

  // The service has lost the device: the start naming its hindex is refused, the credential
  // is dropped, and the next sign-in sets the device up again.
  const Json fallback = Json::parse(runCli(credentialsArgs(dataDir, "credentials", user)).stdoutLines.at(0));
  service.flow().peer().enqueue([hindex = fallback.value("hindex", "")](const ls::V1Exchange& ex) {
    const Json action = Json::parse(ex.request.body).at("action");
    const bool named = action.value("deviceCredentials", Json::object()).value("hindex", "") == hindex;
    return ls::V1Peer::answer(
        "", ls::V1Peer::errorPrompt(named ? "device_not_found" : "unexpected_start", "restart_flow", "Gone"),
        404);
  });
  const CliRun lost = runCli(signinArgs(dataDir, user, service.baseUrl(), {}, noKey));
  EXPECT_EQ(lost.status, 1);
  ASSERT_FALSE(lost.stdoutLines.empty());
  EXPECT_EQ(Json::parse(lost.stdoutLines.back()).value("code", ""), "device_not_found");
  EXPECT_EQ(runCli(credentialsArgs(dataDir, "credentials", user)).stdoutLines,
            std::vector<std::string>{"null"});
  const auto setUpAgain = signInWithCode(service, dataDir, user, {}, noKey);
  ASSERT_EQ(setUpAgain.status, 0);
  EXPECT_TRUE(isPromptOf(setUpAgain.updates.front(), "enter_code")) << setUpAgain.updates.front();
  EXPECT_EQ(service.flow().registeredDeviceCount(), 3u);
}

// An account user id that names a V1 device credential is a usage error for every account
// command that takes one: the credential stays as it was.
TEST(CliSignIn, TheDeviceCredentialSurvivesAccountCommandsNamingIt) {
  HostedService service;
  const auto dataDir = testing::makeTempDirectory("credential-name");
  const std::string user = "alice@example.com";
  ASSERT_EQ(signInWithCode(service, dataDir, user).status, 0);
  const CliRun stored = runCli(credentialsArgs(dataDir, "credentials", user));
  ASSERT_EQ(stored.status, 0);
  ASSERT_EQ(stored.stdoutLines.size(), 1u);
  ASSERT_NE(stored.stdoutLines[0], "null");
  const std::string name = "velqo.v1.device." + user + "+" + kConfig;
  for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
           {"clear", "--userid", name, "--all"},
           {"clear", "--userid", name, "--session"},
           {"store-tokens", "--userid", name, "--access-token", "a", "--refresh-token", "r"},
           {"v4", "signin", "--userid", name},
           {"v5", "signin", "--userid", name}}) {
    std::vector<std::string> args = {"account"};
    args.insert(args.end(), words.begin(), words.end());
    args.insert(args.end(), {"--base-url", service.baseUrl()});
    const CliRun run = runCli(inDataDirectory(dataDir, args));
    EXPECT_EQ(run.status, 2) << words[0];
    EXPECT_NE(run.stderrText.find("it names another stored record"), std::string::npos) << run.stderrText;
  }
  EXPECT_EQ(runCli(credentialsArgs(dataDir, "credentials", user)).stdoutLines, stored.stdoutLines);
}

// Failures: error updates and end of input.

TEST(CliSignIn, ErrorUpdatesEndTheRunWithStatusOne) {
  HostedService service;
  const auto dataDir = testing::makeTempDirectory("errors");

  const CliRun wrongCode = runCli(signinArgs(dataDir, "err@example.com", service.baseUrl()), "999999x\n");
  EXPECT_EQ(wrongCode.status, 1);
  ASSERT_EQ(wrongCode.stdoutLines.size(), 2u);
  const Json error = Json::parse(wrongCode.stdoutLines[1]);
  EXPECT_EQ(error.value("update", ""), "error");
  EXPECT_EQ(error.value("code", ""), "invalid_code");
  EXPECT_EQ(error.value("action", ""), "retry_input");
  EXPECT_EQ(error["details"]["attemptsRemaining"], 4);

  // End of input while the code is awaited cancels the flow.
  const CliRun closed = runCli(signinArgs(dataDir, "err@example.com", service.baseUrl()));
  EXPECT_EQ(closed.status, 1);
  ASSERT_FALSE(closed.stdoutLines.empty());
  EXPECT_EQ(Json::parse(closed.stdoutLines.back()).value("code", ""), "cancelled");
  EXPECT_EQ(service.actionsOfType("cancel").size(), 1u);
}

// A hostile answer with --debug on: nested 200,000 levels deep around a code. The run ends
// with an error update, and standard error shows neither a crash nor the code nor the body,
// only its size on one short line.
TEST(CliSignIn, ADeeplyNestedAnswerUnderDebugIsAnErrorAndOneBoundedLine) {
  const auto dataDir = testing::makeTempDirectory("nested");
  ls::LocalService hostile;
  ls::V1Peer peer(hostile);
  const std::string deep = std::string(200000, '[') + R"({"code":"731904"})" + std::string(200000, ']');
  peer.setFallback([&deep](const ls::V1Exchange&) { return ls::Reply::json(200, deep); });
  const CliRun run = runCli(signinArgs(dataDir, "h@example.com", peer.baseURL(), {}, {"--debug"}));
  EXPECT_EQ(run.status, 1) << run.stderrText.substr(0, 2000);
  ASSERT_FALSE(run.stdoutLines.empty());
  const Json error = Json::parse(run.stdoutLines.back());
  EXPECT_EQ(error.value("update", ""), "error");
  EXPECT_EQ(run.stderrText.find("731904"), std::string::npos);
  const std::string bodyLine = "[V1][WIRE][RESP_BODY] <non-json-body count=" + std::to_string(deep.size()) +
                               " contentType=application/json>";
  EXPECT_NE(run.stderrText.find(bodyLine + "\n"), std::string::npos) << run.stderrText.substr(0, 2000);
  std::size_t longest = 0;
  for (std::size_t start = 0; start < run.stderrText.size();) {
    const std::size_t end = std::min(run.stderrText.find('\n', start), run.stderrText.size());
    longest = std::max(longest, end - start);
    start = end + 1;
  }
  EXPECT_LT(longest, 4096u) << "no line carries the body";
}

// QR approval: binding another screen's session, and approving a sign-in on another device.

TEST(CliQr, BindsAndApprovesWithTheStoredDeviceCredential) {
  HostedService service;
  const auto phone = testing::makeTempDirectory("qr-phone");
  ASSERT_EQ(signInWithCode(service, phone, "qr@example.com").status, 0);
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

  const CliRun approved = runCli(qrArgs(phone, "qr@example.com", qrData));
  EXPECT_EQ(approved.status, 0) << approved.stderrText;
  EXPECT_EQ(Json::parse(approved.stdoutLines.at(0)), Json({{"outcome", "approved"}}));

  // The laptop's poll sees the approval and sets the laptop up as a device of its own.
  const Json completed = parse(laptop.nextStdoutLine(testing::kWaitBound));
  EXPECT_EQ(completed.value("update", ""), "completed") << completed;
  EXPECT_EQ(laptop.wait(), 0);
  EXPECT_EQ(service.flow().registeredDeviceCount(), 2u);

  const CliRun reused = runCli(qrArgs(phone, "qr@example.com", qrData));
  EXPECT_EQ(reused.status, 1);
  const Json reusedError = Json::parse(reused.stdoutLines.at(0));
  EXPECT_EQ(reusedError["error"].value("code", ""), "qr_session_not_found");
  EXPECT_EQ(reusedError["error"].value("shouldClearRecord", true), false);
}

// Code exchange: during a sign-in, and on its own.

TEST(CliExchange, RedeemsTheFlowsCodeForAnIdTokenTheConfiguredKeySigned) {
  HostedService service;
  HostedService other;
  const auto dir = testing::makeTempDirectory("exchange");
  const std::string pem = service.writePem(dir);
  const std::string wrongPem = other.writePem(testing::makeTempDirectory("exchange-other"));

  auto tokenArgs = [&](const std::string& pemFile) {
    return std::vector<std::string>{
        "--token-endpoint", service.flow().tokenEndpointURL(), "--client-id", kConfig, "--pem-file", pemFile};
  };

  // During the sign-in: an ID token the configured key did not sign is refused after completion.
  const auto refused = signInWithCode(service, dir, "ex@example.com", tokenArgs(wrongPem));
  EXPECT_EQ(refused.status, 1);
  const auto& updates = refused.updates;
  ASSERT_GE(updates.size(), 2u);
  EXPECT_EQ(updates.back()["error"].value("case", ""), "tokenVerificationFailed") << updates.back();
  EXPECT_EQ(updates[updates.size() - 2].value("update", ""), "completed");

  // On its own, with the code of a returning sign-in.
  const CliRun signin = runCli(signinArgs(dir, "ex@example.com", service.baseUrl()));
  ASSERT_EQ(signin.status, 0);
  const Json completed = Json::parse(signin.stdoutLines.at(0));
  std::vector<std::string> args = {"v1",         "exchange",
                                   "--code",     completed.value("authCode", ""),
                                   "--verifier", completed.value("codeVerifier", "")};
  const auto token = tokenArgs(pem);
  args.insert(args.end(), token.begin(), token.end());
  const CliRun redeemed = runCli(args);
  ASSERT_EQ(redeemed.status, 0) << redeemed.stdoutLines.at(0);
  const Json answer = Json::parse(redeemed.stdoutLines.at(0))["token"];
  EXPECT_EQ(answer.value("tokenType", ""), "Bearer");
  EXPECT_EQ(answer.value("expiresIn", 0), 3600);
  const std::string idToken = answer.value("idToken", "");
  EXPECT_EQ(std::count(idToken.begin(), idToken.end(), '.'), 2) << "a compact JWT";
}

// Bad usage: refused before anything is built or sent, with status 2, one error line and the
// usage on standard error, and without echoing what was typed.

TEST(CliUsage, BadCommandLinesExitWithStatusTwoAndTheUsage) {
  const std::string secret = "secret-flow-42";
  const auto cases = testing::testData("bad_command_lines.json").get<std::vector<std::vector<std::string>>>();
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    const CliRun run = runCli(args);
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_TRUE(run.stdoutLines.empty()) << shown;
    EXPECT_EQ(run.stderrText.rfind("velqo-cli: ", 0), 0u) << shown << run.stderrText;
    EXPECT_EQ(run.stderrText.find(secret), std::string::npos) << "the value is echoed: " << shown;
    if (!args.empty() && args[0] == "account") {
      EXPECT_NE(run.stderrText.find("usage: velqo-cli"), std::string::npos) << shown;
      EXPECT_NE(run.stderrText.find("account push handle"), std::string::npos) << "the account usage";
    }
  }
  EXPECT_NE(runCli({"v1"}).stderrText.find("usage: velqo-cli"), std::string::npos);
  for (const auto& help : std::vector<std::vector<std::string>>{
           {"--help"}, {"account", "--help"}, {"account", "push", "help"}}) {
    const CliRun run = runCli(help);
    EXPECT_EQ(run.status, 0);
    ASSERT_FALSE(run.stdoutLines.empty());
    EXPECT_EQ(run.stdoutLines.front().rfind("usage: velqo-cli", 0), 0u);
  }
}

}  // namespace
}  // namespace velqo::e2e
