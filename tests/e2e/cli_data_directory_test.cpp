// velqo-cli's data directory: private, shared safely by concurrent sign-ins, and `v1 forget`
// saying what it really removed.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <thread>

#include "cli_process.hpp"
#include "support/test_environment.hpp"

namespace velqo::e2e {
namespace {

using Json = nlohmann::json;

std::vector<std::string> v1(const std::filesystem::path& dir, const char* command) {
  return {"--data-dir", dir.string(), "v1", command, "--config-id", "c", "--identifier", "same@example.com"};
}

// A sign-in against the service velqo-cli embeds, answering a code prompt with the development
// code: completed (with the number of code prompts), or -1.
int signIn(const std::filesystem::path& dir) {
  const CliRun run = runCli(v1(dir, "signin"), "000000\n");
  const bool completed = run.status == 0 && !run.stdoutLines.empty() &&
                         Json::parse(run.stdoutLines.back())["update"] == "completed";
  return completed ? static_cast<int>(run.stdoutLines.size()) - 1 : -1;
}

TEST(CliDataDirectory, SharedByConcurrentSignInsPrivateWhenCreatedAndForgetTellsTheTruth) {
  const auto base = testing::makeTempDirectory("shared");
  for (int round = 0; round < 5; ++round) {
    const auto dir = base / std::to_string(round);
    const mode_t mask = ::umask(0);  // still created private
    int prompts = -1;
    std::thread other([&] { prompts = signIn(dir); });
    const int mine = signIn(dir);
    other.join();
    ::umask(mask);
    ASSERT_TRUE(mine >= 0 && prompts >= 0) << "round " << round;
    EXPECT_EQ(std::filesystem::status(dir).permissions(), std::filesystem::perms::owner_all);
    // The embedded services merged their state: every device set up is known.
    const Json state = Json::parse(std::ifstream(dir / "localservice-state.json"));
    EXPECT_EQ(state["devices"].size(), static_cast<std::size_t>(mine + prompts)) << round;
    EXPECT_EQ(signIn(dir), 0) << "round " << round << ": the stored credential was lost";
  }
  ::chmod(base.c_str(), 0775);
  EXPECT_EQ(runCli(v1(base, "credentials")).status, 2) << "others may write to it";

  const auto dir = base / "0";
  // Where the immutable attribute can be set, nothing can be removed, not even by root.
  const int fd = ::open((dir / "keychain").c_str(), O_RDONLY | O_DIRECTORY);
  int flags = 0, immutable = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (immutable = flags | FS_IMMUTABLE_FL, true) &&
      ::ioctl(fd, FS_IOC_SETFLAGS, &immutable) == 0) {
    const CliRun refused = runCli(v1(dir, "forget"));
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.stdoutLines, std::vector<std::string>{R"({"cleared":false})"});
  }
  ::close(fd);
  EXPECT_EQ(runCli(v1(dir, "forget")).stdoutLines, std::vector<std::string>{R"({"cleared":true})"});
  EXPECT_EQ(runCli(v1(dir, "forget")).stdoutLines, std::vector<std::string>{R"({"cleared":false})"});
}

}  // namespace
}  // namespace velqo::e2e
