// velqo-cli processes with data directories of their own that keep their items in one shared
// item directory (each data directory's "keychain" is a link to it), as apps sharing a keychain
// group do: writers of a token pair take turns at the lock beside the items, so the pair never
// mixes whatever data directory each writer has.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_process.hpp"
#include "support/test_environment.hpp"
#include "support/wait_bound.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo_localservice/local_service.hpp"

namespace velqo::e2e {
namespace {

namespace fs = std::filesystem;

const std::string kUser = "ada";
const std::string kService = "com.velqo.cli";  // the CLI's default bundle identifier

class SharedItems {
 public:
  SharedItems() : items_(testing::makeTempDirectory("shared-items")) {
    for (const char* name : {"shared-items-a", "shared-items-b"}) {
      dataDirectories_.push_back(testing::makeTempDirectory(name));
      fs::create_directory_symlink(items_, dataDirectories_.back() / "keychain");
    }
  }

  /// store-tokens of `access` and `access` + ":refresh" by a writer on data directory 0 or 1.
  std::vector<std::string> storeTokens(int dataDirectory, const std::string& access) const {
    return {"--data-dir",      dataDirectories_.at(dataDirectory).string(),
            "account",         "store-tokens",
            "--userid",        kUser,
            "--access-token",  access,
            "--refresh-token", access + ":refresh",
            "--base-url",      service_.baseUrl()};
  }
  /// (access token, refresh token) as stored; "-" for a missing item.
  std::pair<std::string, std::string> pair() const {
    const auto text = [this](const std::string& account) {
      Bytes data;
      if (platform::makeFileItemStore(items_)->copyGenericPassword(kService, account, data) !=
          platform::status::success)
        return std::string("-");
      return std::string(data.begin(), data.end());
    };
    return {text(kUser + "_jwtAccessToken"), text(kUser + "_jwtRefreshToken")};
  }
  const fs::path& items() const { return items_; }

 private:
  localservice::LocalService service_;  // nothing is sent: store-tokens stays on the device
  fs::path items_;
  std::vector<fs::path> dataDirectories_;
};

// True when some process waits for an flock on the file of that inode ("->" lines of
// /proc/locks); nothing when the lock table cannot be read.
std::optional<bool> someoneWaitsToLock(ino_t inode) {
  std::ifstream locks("/proc/locks");
  if (!locks) return std::nullopt;
  const std::string inodeField = ":" + std::to_string(inode) + " ";
  for (std::string line; std::getline(locks, line);) {
    if (line.find("-> FLOCK") != std::string::npos && line.find(inodeField) != std::string::npos) return true;
  }
  return false;
}

TEST(CliSharedItems, AWriterOnAnotherDataDirectoryWaitsForTheLockBesideTheItems) {
  const SharedItems shared;
  const CliRun first = runCli(shared.storeTokens(0, "A1"));
  ASSERT_EQ(first.status, 0) << first.stderrText;
  if (!someoneWaitsToLock(0)) GTEST_SKIP() << "the lock table cannot be read here";

  // Another process holds the pair's lock beside the items: a writer on the other data
  // directory must wait for it.
  const fs::path lockFile = shared.items() / ".token-pair.lock";
  const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  CliProcess writer(shared.storeTokens(1, "B1"));
  const auto deadline = std::chrono::steady_clock::now() + testing::kWaitBound;
  bool waiting = false;
  while (!(waiting = someoneWaitsToLock(st.st_ino).value_or(false)) &&
         writer.wait(std::chrono::milliseconds(0)) < 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto whileHeld = shared.pair();
  ::close(fd);  // releases the lock
  EXPECT_TRUE(waiting) << "the writer did not wait for the pair's lock";
  EXPECT_EQ(whileHeld, std::make_pair(std::string("A1"), std::string("A1:refresh")));
  EXPECT_EQ(writer.wait(testing::kWaitBound), 0);
  EXPECT_EQ(shared.pair(), std::make_pair(std::string("B1"), std::string("B1:refresh")));
}

TEST(CliSharedItems, WritersOnTwoDataDirectoriesNeverMixATokenPair) {
  constexpr int kWritersPerDirectory = 8;
  const SharedItems shared;
  for (int round = 0; round < 2; ++round) {
    std::vector<std::unique_ptr<CliProcess>> writers;
    for (int w = 0; w < kWritersPerDirectory; ++w) {
      for (int d = 0; d < 2; ++d) {
        const std::string name = std::string(1, "AB"[d]) + std::to_string(round) + "-" + std::to_string(w);
        writers.push_back(std::make_unique<CliProcess>(shared.storeTokens(d, name)));
      }
    }
    for (auto& writer : writers) {
      EXPECT_EQ(writer->wait(testing::kWaitBound), 0);
      EXPECT_EQ(writer->stdoutText(), "{\"stored\":true}\n");
    }
    const auto [access, refresh] = shared.pair();
    EXPECT_EQ(refresh, access + ":refresh") << "round " << round;
  }
}

}  // namespace
}  // namespace velqo::e2e
