// velqo-cli and its data directory: created private and refused when others may write to
// it, shared safely by processes that sign in at the same time, and `v1 forget` saying what
// it really removed.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli_process.hpp"
#include "support/test_environment.hpp"

namespace velqo::e2e {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr const char* kConfig = "shared-config";

std::vector<std::string> v1Args(const fs::path& dataDir, const char* command, const std::string& identifier) {
  return {"--data-dir", dataDir.string(), "v1", command, "--config-id", kConfig, "--identifier", identifier};
}

unsigned modeOf(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// A sign-in against the service velqo-cli embeds (its state in the data directory), answering
// a code prompt with the development code (a first sign-in on this device).
struct EmbeddedSignIn {
  int status = -1;
  Json last;  ///< the last update
  bool askedForCode = false;
};

EmbeddedSignIn signInEmbedded(const fs::path& dataDir, const std::string& identifier) {
  CliProcess cli(v1Args(dataDir, "signin", identifier));
  EmbeddedSignIn run;
  Json& last = run.last;
  for (auto line = cli.nextStdoutLine(); line; line = cli.nextStdoutLine()) {
    last = Json::parse(*line, nullptr, false);
    const std::string kind = last.is_object() ? last.value("update", "") : "";
    if (kind == "prompt" && last["prompt"].value("type", "") == "enter_code") {
      run.askedForCode = true;
      cli.writeLine("000000");
    }
    if (kind != "prompt" && kind != "loading") break;
  }
  cli.closeStdin();
  run.status = cli.wait();
  return run;
}

TEST(CliDataDirectory, IsCreatedPrivateAndRefusedWhenOthersMayWriteToIt) {
  const fs::path base = testing::makeTempDirectory("modes");
  const mode_t savedMask = ::umask(0);
  const CliRun created = runCli(v1Args(base / "a" / "b", "credentials", "x@example.com"));
  ::umask(savedMask);
  EXPECT_EQ(created.status, 0) << created.stderrText;
  EXPECT_EQ(modeOf(base / "a"), 0700u);
  EXPECT_EQ(modeOf(base / "a" / "b"), 0700u);

  const std::pair<unsigned, bool> modes[] = {{0700, true},  {0755, true},  {0770, false},
                                             {0707, false}, {0777, false}, {01777, false}};
  for (const auto& [mode, accepted] : modes) {
    const fs::path dir = base / ("m" + std::to_string(mode));
    fs::create_directory(dir);
    ASSERT_EQ(::chmod(dir.c_str(), mode), 0);
    const CliRun run = runCli(v1Args(dir, "credentials", "x@example.com"));
    EXPECT_EQ(run.status, accepted ? 0 : 2) << std::oct << mode;
    if (!accepted) {
      EXPECT_TRUE(run.stdoutLines.empty());
      EXPECT_NE(run.stderrText.find("writable by group or others"), std::string::npos) << run.stderrText;
    }
  }
}

TEST(CliDataDirectory, ConcurrentFirstSignInsOfOneIdentifierLeaveOneUsableCredential) {
  for (int round = 0; round < 5; ++round) {
    const fs::path dataDir = testing::makeTempDirectory("shared");
    std::vector<EmbeddedSignIn> results(2);
    std::vector<std::thread> runs;
    for (std::size_t i = 0; i < results.size(); ++i) {
      runs.emplace_back([&, i] { results[i] = signInEmbedded(dataDir, "same@example.com"); });
    }
    for (auto& run : runs) run.join();
    std::size_t firstSignIns = 0;
    for (const auto& run : results) {
      ASSERT_EQ(run.status, 0) << "round " << round << ": " << run.last;
      EXPECT_EQ(run.last.value("update", ""), "completed");
      firstSignIns += run.askedForCode ? 1 : 0;
    }
    // The state file both embedded services wrote keeps every device set up and one user (a
    // process that started late may have found the other's credential and signed in with it).
    std::ifstream stateFile(dataDir / "localservice-state.json");
    const Json state = Json::parse(stateFile, nullptr, false);
    ASSERT_TRUE(state.is_object());
    EXPECT_EQ(state["devices"].size(), firstSignIns) << "round " << round;
    EXPECT_EQ(state["users"].size(), 1u) << "round " << round;
    // A third process: its service knows the device that the stored credential proves, so
    // it signs in without a code.
    const CliRun third = runCli(v1Args(dataDir, "signin", "same@example.com"));
    ASSERT_EQ(third.status, 0) << "round " << round << ": " << third.stderrText
                               << (third.stdoutLines.empty() ? "" : third.stdoutLines.back());
    ASSERT_EQ(third.stdoutLines.size(), 1u) << "round " << round << ": a prompt, so the credential was lost";
    EXPECT_EQ(Json::parse(third.stdoutLines[0]).value("update", ""), "completed");
  }
}

// Sets the immutable attribute of a directory for its lifetime, where the file system and
// the process's privileges allow it: nothing in it can be removed then, not even by root.
class ImmutableDirectory {
 public:
  explicit ImmutableDirectory(const fs::path& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY)) {
    if (fd_ >= 0 && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags_) == 0) {
      int immutable = flags_ | FS_IMMUTABLE_FL;
      set_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &immutable) == 0;
    }
  }
  ~ImmutableDirectory() {
    if (set_) ::ioctl(fd_, FS_IOC_SETFLAGS, &flags_);
    if (fd_ >= 0) ::close(fd_);
  }
  bool set() const { return set_; }

 private:
  int fd_;
  int flags_ = 0;
  bool set_ = false;
};

TEST(CliDataDirectory, ForgetReportsWhatItReallyRemoved) {
  const fs::path dataDir = testing::makeTempDirectory("forget");
  ASSERT_EQ(signInEmbedded(dataDir, "gone@example.com").status, 0);
  {
    ImmutableDirectory locked(dataDir / "keychain");
    if (locked.set()) {
      const CliRun refused = runCli(v1Args(dataDir, "forget", "gone@example.com"));
      EXPECT_EQ(refused.status, 1);
      EXPECT_EQ(refused.stdoutLines, std::vector<std::string>{R"({"cleared":false})"});
      EXPECT_NE(refused.stderrText.find("could not be removed"), std::string::npos);
    } else {
      std::cout << "[ skipped  ] the immutable attribute cannot be set here\n";
    }
  }
  const CliRun cleared = runCli(v1Args(dataDir, "forget", "gone@example.com"));
  EXPECT_EQ(cleared.status, 0);
  EXPECT_EQ(cleared.stdoutLines, std::vector<std::string>{R"({"cleared":true})"});
  const CliRun again = runCli(v1Args(dataDir, "forget", "gone@example.com"));
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.stdoutLines, std::vector<std::string>{R"({"cleared":false})"});
}

}  // namespace
}  // namespace velqo::e2e
