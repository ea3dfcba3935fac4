// velqo-cli's store-tokens and clear: user ids that would name another record are refused, a
// clear says whether the items are really gone, parallel writers never mix a token pair, and a
// process killed in the middle leaves every item whole.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
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

using Json = nlohmann::json;
using namespace std::chrono_literals;

const std::string kUser = "ada";
const std::string kService = "com.velqo.cli";  // the CLI's default bundle identifier

// One device's data directory, read from this process the way the next CLI run reads it.
class Device {
 public:
  explicit Device(const char* name) : dir_(testing::makeTempDirectory(name)) {}

  std::vector<std::string> args(std::vector<std::string> words) const {
    std::vector<std::string> out = {"--data-dir", dir_.string(), "account"};
    out.insert(out.end(), words.begin(), words.end());
    out.insert(out.end(), {"--base-url", service_.baseUrl()});
    return out;
  }
  CliRun run(std::vector<std::string> words) const { return runCli(args(std::move(words))); }
  std::vector<std::string> storeTokens(const std::string& access, const std::string& refresh,
                                       const std::string& user = kUser) const {
    return {"store-tokens", "--userid", user, "--access-token", access, "--refresh-token", refresh};
  }

  /// The item's text; nothing when absent.
  std::optional<std::string> item(const std::string& account) const {
    Bytes data;
    const auto status = platform::makeFileItemStore(keychain())->copyGenericPassword(kService, account, data);
    EXPECT_TRUE(status == platform::status::success || status == platform::status::itemNotFound) << status;
    if (status != platform::status::success) return std::nullopt;
    return std::string(data.begin(), data.end());
  }
  std::optional<std::string> access() const { return item(kUser + "_jwtAccessToken"); }
  std::optional<std::string> refresh() const { return item(kUser + "_jwtRefreshToken"); }
  std::optional<std::string> lastUser() const { return item("lastuser"); }

  std::filesystem::path keychain() const { return dir_ / "keychain"; }
  std::size_t temporaries() const {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(keychain())) {
      count += entry.path().filename().string().find(".tmp-") != std::string::npos ? 1 : 0;
    }
    return count;
  }

 private:
  localservice::LocalService service_;  // nothing is sent: store-tokens and clear stay on the device
  std::filesystem::path dir_;
};

std::string stdoutOf(const CliRun& run) {
  return run.stdoutLines.size() == 1 ? run.stdoutLines[0]
                                     : "(" + std::to_string(run.stdoutLines.size()) + " lines)";
}

TEST(CliAccountStore, ClearSaysWhetherTheItemsAreGone) {
  const Device phone("clear-check");
  ASSERT_EQ(phone.run(phone.storeTokens("access-1", "refresh-1")).status, 0);
  // Where the immutable attribute can be set, nothing in the item directory can be removed,
  // not even by root. The guard takes it off again however the test ends, so the test
  // directory stays removable.
  struct ImmutableDirectory {
    int fd = -1;
    int flags = 0;
    bool set = false;
    ~ImmutableDirectory() {
      if (set) ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
      if (fd >= 0) ::close(fd);
    }
  } guard;
  guard.fd = ::open(phone.keychain().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(guard.fd, 0);
  if (::ioctl(guard.fd, FS_IOC_GETFLAGS, &guard.flags) != 0) {
    GTEST_SKIP() << "the file system keeps no immutable attribute";
  }
  int immutable = guard.flags | FS_IMMUTABLE_FL;
  if (::ioctl(guard.fd, FS_IOC_SETFLAGS, &immutable) != 0) {
    GTEST_SKIP() << "the immutable attribute cannot be set here";
  }
  guard.set = true;
  std::vector<CliRun> refused;
  for (std::vector<std::string> scope :
       {std::vector<std::string>{"--userid", kUser, "--session"},
        std::vector<std::string>{"--userid", kUser, "--all"}, std::vector<std::string>{"--last-user"}}) {
    scope.insert(scope.begin(), "clear");
    refused.push_back(phone.run(scope));
  }
  guard.set = ::ioctl(guard.fd, FS_IOC_SETFLAGS, &guard.flags) != 0;
  for (const auto& run : refused) {
    EXPECT_EQ(run.status, 1) << stdoutOf(run);
    EXPECT_EQ(stdoutOf(run), R"({"cleared":false})");
  }
  EXPECT_EQ(phone.access(), "access-1");
  EXPECT_EQ(phone.refresh(), "refresh-1");
  EXPECT_TRUE(phone.lastUser());

  const struct {
    std::vector<std::string> words;
    const char* out;
  } clears[] = {{{"clear", "--userid", kUser, "--session"}, R"({"cleared":"session"})"},
                {{"clear", "--last-user"}, R"({"cleared":"last_user"})"},
                {{"clear", "--userid", kUser, "--all"}, R"({"cleared":"all"})"}};
  for (const auto& c : clears) {
    const CliRun run = phone.run(c.words);
    EXPECT_EQ(run.status, 0) << run.stderrText;
    EXPECT_EQ(stdoutOf(run), c.out);
  }
  EXPECT_FALSE(phone.access());
  EXPECT_FALSE(phone.refresh());
  EXPECT_FALSE(phone.lastUser());
}

TEST(CliAccountStore, UserIdsThatNameAnotherRecordAreRefused) {
  const Device phone("other-record");
  ASSERT_EQ(phone.run(phone.storeTokens("access-1", "refresh-1")).status, 0);
  const auto lastUser = phone.lastUser();
  // The names of other records (a V1 device credential among them), and ids that are not UTF-8.
  for (const std::string id :
       {"lastuser", "ada_jwtAccessToken", "ada_jwtRefreshToken", "ada_persistentDeviceToken_v4",
        "ada_tokenId_v3", "velqo.v1.device.ada+cfg1", "ada\xff", "\xc0\xaf"}) {
    for (const auto& words :
         {std::vector<std::string>{"clear", "--userid", id, "--all"},
          std::vector<std::string>{"clear", "--userid", id, "--session"}, phone.storeTokens("x", "y", id),
          std::vector<std::string>{"v4", "signin", "--userid", id},
          std::vector<std::string>{"v5", "signin", "--userid", id}}) {
      const CliRun run = phone.run(words);
      EXPECT_EQ(run.status, 2) << id << " " << words[0];
      EXPECT_TRUE(run.stdoutLines.empty()) << id << " " << words[0];
      EXPECT_NE(run.stderrText.find("it names another stored record"), std::string::npos) << run.stderrText;
    }
  }
  EXPECT_EQ(phone.access(), "access-1");
  EXPECT_EQ(phone.refresh(), "refresh-1");
  EXPECT_EQ(phone.lastUser(), lastUser);
}

TEST(CliAccountStore, ParallelWritersNeverMixATokenPair) {
  constexpr int kWriters = 16;
  const Device phone("parallel-pairs");
  for (int round = 0; round < 4; ++round) {
    std::vector<std::unique_ptr<CliProcess>> writers;
    for (int w = 0; w < kWriters; ++w) {
      const std::string name = "A" + std::to_string(round) + "-" + std::to_string(w);
      writers.push_back(std::make_unique<CliProcess>(phone.args(phone.storeTokens(name, name + ":refresh"))));
    }
    for (auto& writer : writers) {
      EXPECT_EQ(writer->wait(testing::kWaitBound), 0);
      EXPECT_EQ(writer->stdoutText(), "{\"stored\":true}\n");
    }
    const auto access = phone.access().value_or("-");
    EXPECT_EQ(phone.refresh(), access + ":refresh") << "round " << round;
  }
}

// Token n: its number and 4 KiB that depend on it, so a torn item shows.
std::string token(int n, const char* kind) {
  return std::to_string(n) + kind + std::string(4096, static_cast<char>('a' + n % 26));
}
// The number of a whole token, or -1.
int numberOf(const std::optional<std::string>& text, const char* kind) {
  if (!text) return -1;
  const int n = std::atoi(text->c_str());
  return *text == token(n, kind) ? n : -2;
}

TEST(CliAccountStore, KillsDuringStoreTokensAndClearLeaveEveryItemWhole) {
  const Device phone("kills");
  const auto store = [&](int n) { return phone.args(phone.storeTokens(token(n, "A"), token(n, "R"))); };
  const std::vector<std::string> clear = phone.args({"clear", "--userid", kUser, "--session"});
  // How long one whole run takes: the kills fall anywhere in it.
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(runCli(store(0)).status, 0);
  const auto whole =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
  std::mt19937 random(19);
  int mixed = 0;
  int stored = 0;  // the pair stored before the killed run; -1 when cleared
  for (int round = 1; round <= 40; ++round) {
    const bool clearing = round % 3 == 0;
    {
      CliProcess killed(clearing ? clear : store(round));
      std::this_thread::sleep_for(std::chrono::microseconds(random() % (whole.count() + 1)));
    }  // killed here when still running
    const int access = numberOf(phone.access(), "A");
    const int refresh = numberOf(phone.refresh(), "R");
    const std::vector<int> allowed = {stored, clearing ? -1 : round};
    for (int n : {access, refresh}) {
      EXPECT_NE(std::find(allowed.begin(), allowed.end(), n), allowed.end())
          << "round " << round << ": token " << n << " (before: " << stored << ")";
    }
    mixed += access != refresh ? 1 : 0;
    const auto lastUser = phone.lastUser();
    if (lastUser) {
      EXPECT_EQ(Json::parse(*lastUser, nullptr, false), Json({{"username", kUser}})) << round;
    }

    // The next run of the same command finishes the work and removes what the killed one left
    // behind (counted before this process opens the directory, which would remove it too).
    const CliRun again = runCli(clearing ? clear : store(round));
    ASSERT_EQ(again.status, 0) << again.stderrText;
    EXPECT_EQ(phone.temporaries(), 0u) << round;
    stored = clearing ? -1 : round;
    EXPECT_EQ(numberOf(phone.access(), "A"), stored) << round;
    EXPECT_EQ(numberOf(phone.refresh(), "R"), stored) << round;
  }
  std::cout << "[ kills    ] 40 kills during store-tokens and clear, " << mixed
            << " left the two token items from different runs; no item torn\n";
}

}  // namespace
}  // namespace velqo::e2e
