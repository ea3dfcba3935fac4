// End-to-end tests of what velqo-cli itself adds around the account facade: when `push
// register` waits and how it ends, the redaction of its diagnostic lines, and the admin
// commands of a foreground `local-service`.

#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli_process.hpp"
#include "support/test_environment.hpp"
#include "support/wait_bound.hpp"
#include "velqo_localservice/access_tokens.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/push_peer.hpp"

namespace velqo::e2e {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;
namespace ls = velqo::localservice;

std::string fileText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A user signed in on a device of its own: tokens stored as a back end would hand them over.
class PushDevice {
 public:
  PushDevice(const ls::LocalService& service, const char* name, const std::string& accessToken)
      : baseUrl_(service.baseUrl()), dir_(testing::makeTempDirectory(name)) {
    const CliRun stored =
        run({"store-tokens", "--userid", "push@example.com", "--access-token", accessToken});
    EXPECT_EQ(stored.status, 0) << stored.stderrText;
  }

  CliRun run(std::vector<std::string> words) const {
    std::vector<std::string> args = {"--data-dir", dir_.string(), "account"};
    args.insert(args.end(), words.begin(), words.end());
    args.insert(args.end(), {"--base-url", baseUrl_});
    return runCli(args, {}, 90s);
  }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::string baseUrl_;
  std::filesystem::path dir_;
};

TEST(CliPushRegister, FailsWhenTheServiceRefusesAndEndsAtOnceWhenNothingIsSent) {
  ls::LocalService service;
  auto tokens = std::make_shared<ls::AccessTokens>();
  ls::PushPeer push(service, tokens);
  tokens->grant("granted-token", "push@example.com");
  const Json notRegistered = {{"pushToken", "0a0b"}, {"registered", false}};

  // The service does not know the bearer token: the registration is refused.
  const PushDevice refused(service, "refused", "unknown-token");
  const CliRun refusal = refused.run({"push", "register", "--token", "0a0b"});
  EXPECT_EQ(refusal.status, 1) << refusal.stderrText;
  ASSERT_FALSE(refusal.stdoutLines.empty());
  EXPECT_EQ(Json::parse(refusal.stdoutLines.back()), notRegistered);

  // A device that gives no vendor identifier has no fingerprint: nothing is sent, and the
  // command says so at once instead of waiting for an answer that never comes.
  const PushDevice noFingerprint(service, "no-fingerprint", "granted-token");
  std::filesystem::create_directory(noFingerprint.dir() / "vendor-identifier");
  const auto started = std::chrono::steady_clock::now();
  const CliRun unsent = noFingerprint.run({"push", "register", "--token", "0a0b"});
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s) << "waited for an answer to nothing";
  EXPECT_EQ(unsent.status, 1) << unsent.stderrText;
  ASSERT_FALSE(unsent.stdoutLines.empty());
  EXPECT_EQ(Json::parse(unsent.stdoutLines.back()), notRegistered);
  EXPECT_TRUE(push.registrations().empty());
}

TEST(CliDebugLines, ShowNoCharacterOfTheApiKey) {
  const auto dir = testing::makeTempDirectory("api-key");
  const CliRun run = runCli({"--data-dir", dir.string(), "--debug", "account", "last-user", "--api-key",
                             "Zq9Xk-project-key", "--base-url", "http://127.0.0.1:9"});
  EXPECT_EQ(run.status, 0) << run.stderrText;
  EXPECT_NE(run.stderrText.find("Project API Key: <redacted>"), std::string::npos) << run.stderrText;
  EXPECT_EQ(run.stderrText.find("Zq9X"), std::string::npos) << run.stderrText;
}

// What a browser raises on a foreground local-service reaches that service, and stays in the
// state it writes when it stops.
TEST(CliLocalService, AdminCommandsReachTheRunningService) {
  const auto dir = testing::makeTempDirectory("foreground");
  auto cli = [&](const std::vector<std::string>& words) { return inDataDirectory(dir, words); };
  auto line = [&](const std::vector<std::string>& words) { return runCliForJsonLine(dir, words); };

  CliProcess service(cli({"local-service"}));
  const auto v1Url = service.nextStdoutLine(testing::kWaitBound);
  ASSERT_TRUE(v1Url) << service.stderrText();
  const std::string root = v1Url->substr(0, v1Url->size() - 3);

  const std::string requestId =
      line({"local-service", "login-request", "--userid", "ada@example.com"}).value("requestId", "");
  ASSERT_FALSE(requestId.empty());
  const Json session = line({"local-service", "web-session", "--pin", "5150"});
  ASSERT_TRUE(session.contains("webToken")) << session;

  // Another device looks the session up on the running service by its PIN.
  const auto browser = testing::makeTempDirectory("browser");
  const CliRun found =
      runCli({"--data-dir", browser.string(), "account", "web-login", "--pin", "5150", "--base-url", root});
  EXPECT_EQ(found.status, 0) << found.stderrText;
  ASSERT_EQ(found.stdoutLines.size(), 1u);
  EXPECT_EQ(Json::parse(found.stdoutLines[0])["webLogin"]["webToken"], session["webToken"]);

  service.signal(SIGTERM);
  ASSERT_EQ(service.wait(testing::kWaitBound), 0) << service.stderrText();
  const std::string state = fileText(dir / "localservice-account-state.json");
  EXPECT_NE(state.find(requestId), std::string::npos) << "the login request was kept";
  EXPECT_NE(state.find(session["webToken"].get<std::string>()), std::string::npos) << "the session was kept";
  EXPECT_FALSE(std::filesystem::exists(dir / "localservice-running.json"));

  // With no service running, the commands keep their change in the state file.
  const std::string later =
      line({"local-service", "login-request", "--userid", "ada@example.com"}).value("requestId", "");
  ASSERT_FALSE(later.empty());
  EXPECT_NE(fileText(dir / "localservice-account-state.json").find(later), std::string::npos);
}

}  // namespace
}  // namespace velqo::e2e
