// End-to-end tests of what velqo-cli itself adds around the account facade: when `push
// register` waits and how it ends, a write refused by a file-size limit, the redaction of its
// diagnostic lines, and the admin commands of a foreground `local-service`.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli_process.hpp"
#include "immutable_directory.hpp"
#include "support/test_environment.hpp"
#include "support/wait_bound.hpp"
#include "support/watchdog.hpp"
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
  PushDevice(const ls::LocalService& service, const char* name, const std::string& accessToken,
             const std::string& user = "push@example.com")
      : baseUrl_(service.baseUrl()), dir_(testing::makeTempDirectory(name)) {
    const CliRun stored = run({"store-tokens", "--userid", user, "--access-token", accessToken});
    EXPECT_EQ(stored.status, 0) << stored.stderrText;
  }

  CliRun run(std::vector<std::string> words, std::chrono::milliseconds bound = 90s) const {
    std::vector<std::string> args = {"--data-dir", dir_.string(), "account"};
    args.insert(args.end(), words.begin(), words.end());
    args.insert(args.end(), {"--base-url", baseUrl_});
    return runCli(args, {}, bound);
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

// The facade fingerprints the user id as stored, "Ada", whose device secret cannot be created
// in an unwritable Application Support: nothing is sent, and the command must end at once, well
// within the bound, instead of waiting for an answer to nothing. Once the directory is writable
// again the same command registers.
TEST(CliPushRegister, EndsAtOnceWhenAUserIdWithCapitalsHasNoDeviceSecret) {
  ls::LocalService service;
  auto tokens = std::make_shared<ls::AccessTokens>();
  ls::PushPeer push(service, tokens);
  tokens->grant("ada-token", "Ada");
  const PushDevice device(service, "no-secret", "ada-token", "Ada");
  const auto support = device.dir() / "Application Support";
  std::filesystem::create_directories(support);
  ImmutableDirectory unwritable(support);
  if (!unwritable.set()) GTEST_SKIP() << "the immutable attribute cannot be set here";

  CliRun unsent;
  {
    // The run ends at the bound whatever the command does, and the guard then makes the
    // directory writable again; the watchdog, later, is for the run itself getting stuck.
    testing::Watchdog watchdog("push register without a device secret", 2 * testing::kWaitBound);
    unsent = device.run({"push", "register", "--token", "0b0b"}, testing::kWaitBound);
  }
  unwritable.release();
  EXPECT_EQ(unsent.status, 1) << "exit status -1: still waiting after the bound\n" << unsent.stderrText;
  ASSERT_FALSE(unsent.stdoutLines.empty());
  EXPECT_EQ(Json::parse(unsent.stdoutLines.back()), Json({{"pushToken", "0b0b"}, {"registered", false}}));
  EXPECT_TRUE(push.registrations().empty());

  CliRun registered;
  testing::runWithWatchdog("push register", [&] {
    registered = device.run({"push", "register", "--token", "0b0b"});
  });
  EXPECT_EQ(registered.status, 0) << registered.stderrText;
  ASSERT_FALSE(registered.stdoutLines.empty());
  EXPECT_EQ(Json::parse(registered.stdoutLines.back()), Json({{"pushToken", "0b0b"}, {"registered", true}}));
  ASSERT_EQ(push.registrations().size(), 1u);
  EXPECT_EQ(push.registrations()[0].userid, "Ada");
}

// How a velqo-cli run under a file-size limit ended: its exit status, or the signal that ended
// it, and its standard output.
struct LimitedRun {
  int exitStatus = -1;
  int signal = 0;
  std::string out;
};

// A file descriptor, closed when it goes.
struct OwnedFd {
  int fd = -1;
  OwnedFd() = default;
  explicit OwnedFd(int descriptor) : fd(descriptor) {}
  ~OwnedFd() { reset(); }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

LimitedRun runWithFileSizeLimit(const std::vector<std::string>& args, rlim_t limitBytes) {
  std::vector<std::string> argvStorage = {VELQO_CLI_PATH};
  argvStorage.insert(argvStorage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStorage) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  OwnedFd readEnd(pipeEnds[0]);
  OwnedFd writeEnd(pipeEnds[1]);
  const OwnedFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Only async-signal-safe calls here. The signal's default action is restored, so an
    // ignoring parent cannot hide what the program does itself.
    const rlimit limit{limitBytes, limitBytes};
    ::signal(SIGXFSZ, SIG_DFL);
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    ::dup2(devNull.fd, STDIN_FILENO);
    ::dup2(writeEnd.fd, STDOUT_FILENO);
    ::dup2(devNull.fd, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  writeEnd.reset();  // the output ends when the child's copy closes
  LimitedRun run;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(readEnd.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.out.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

// A write past the file-size limit is refused with an error the command reports, rather than
// ending the process by signal with nothing printed.
TEST(CliFileSizeLimit, StoreTokensReportsTheRefusedWrite) {
  ls::LocalService service;  // nothing is sent: store-tokens stays on the device
  const auto dir = testing::makeTempDirectory("file-size-limit");
  const std::vector<std::string> args = {
      "--data-dir", dir.string(),      "account",        "store-tokens",
      "--userid",   "ada@example.com", "--access-token", std::string(64 * 1024, 'a'),
      "--base-url", service.baseUrl()};
  LimitedRun run;
  testing::runWithWatchdog("store-tokens under a file-size limit",
                           [&] { run = runWithFileSizeLimit(args, 8 * 1024); });
  EXPECT_EQ(run.signal, 0) << "ended by a signal";
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "{\"stored\":false}\n");
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
