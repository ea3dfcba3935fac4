// velqo-cli's `account clear` among other processes: a push registration that another process
// started before the clear never records its token after it, and the clear judges its own
// removal, neither taking items that others store after it for a failure nor missing a push
// record that stayed behind.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli_process.hpp"
#include "immutable_directory.hpp"
#include "support/test_environment.hpp"
#include "support/wait_bound.hpp"
#include "support/watchdog.hpp"
#include "velqo/platform/user_defaults.hpp"
#include "velqo_localservice/access_tokens.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/push_peer.hpp"

namespace velqo::e2e {
namespace {

using Json = nlohmann::json;
namespace ls = velqo::localservice;

const std::string kUser = "push@example.com";
const std::string kRecordKey = "velqo_sdk_last_registered_apns_token_" + kUser;

// One device's data directory, whose account commands go to `baseUrl`.
class Device {
 public:
  Device(const char* name, std::string baseUrl)
      : dir_(testing::makeTempDirectory(name)), baseUrl_(std::move(baseUrl)) {}

  std::vector<std::string> args(std::vector<std::string> words) const {
    std::vector<std::string> out = {"--data-dir", dir_.string(), "account"};
    out.insert(out.end(), words.begin(), words.end());
    out.insert(out.end(), {"--base-url", baseUrl_});
    return out;
  }
  CliRun run(std::vector<std::string> words) const { return runCli(args(std::move(words))); }
  /// A sign-in as a host with its own back end does it.
  void signIn(const std::string& accessToken) const {
    const CliRun stored = run({"store-tokens", "--userid", kUser, "--access-token", accessToken});
    ASSERT_EQ(stored.status, 0) << stored.stderrText;
  }
  /// The registered push token as the next run reads it.
  std::optional<std::string> registeredToken() const {
    return platform::UserDefaults::open(defaultsFile())->string(kRecordKey);
  }
  std::filesystem::path defaultsFile() const { return dir_ / "defaults.json"; }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::string baseUrl_;
};

std::string stdoutOf(const CliRun& run) {
  return run.stdoutLines.size() == 1 ? run.stdoutLines[0]
                                     : "(" + std::to_string(run.stdoutLines.size()) + " lines)";
}

// Holds every push registration at the service until released (at the latest when it ends).
class HeldRegistrations {
 public:
  explicit HeldRegistrations(ls::PushPeer& push) : push_(push) {
    push_.setBeforeRegistration([gate = gate_] {
      std::unique_lock lock(gate->mutex);
      ++gate->arrived;
      gate->changed.notify_all();
      gate->changed.wait(lock, [&] { return gate->released; });
    });
  }
  ~HeldRegistrations() {
    release();
    push_.setBeforeRegistration({});
  }
  HeldRegistrations(const HeldRegistrations&) = delete;
  HeldRegistrations& operator=(const HeldRegistrations&) = delete;

  bool awaitArrival() {
    std::unique_lock lock(gate_->mutex);
    return gate_->changed.wait_for(lock, testing::kWaitBound, [&] { return gate_->arrived > 0; });
  }
  void release() {
    {
      std::lock_guard lock(gate_->mutex);
      gate_->released = true;
    }
    gate_->changed.notify_all();
  }

 private:
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int arrived = 0;
    bool released = false;
  };
  ls::PushPeer& push_;
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
};

TEST(CliAccountClear, AnEarlierRegistrationAnsweredAfterTheClearRecordsNothing) {
  ls::LocalService service;
  auto tokens = std::make_shared<ls::AccessTokens>();
  ls::PushPeer push(service, tokens);
  tokens->grant("granted-token", kUser);
  const Device phone("clear-push", service.baseUrl());
  phone.signIn("granted-token");

  {
    HeldRegistrations held(push);
    CliProcess registering(phone.args({"push", "register", "--token", "0c0d"}));
    ASSERT_TRUE(held.awaitArrival()) << registering.stderrText();
    // Another process clears the session while the answer is held.
    testing::runWithWatchdog("a clear beside a held registration", [&] {
      const CliRun cleared = phone.run({"clear", "--userid", kUser, "--session"});
      EXPECT_EQ(cleared.status, 0) << cleared.stderrText;
      EXPECT_EQ(stdoutOf(cleared), R"({"cleared":"session"})");
    });
    held.release();
    EXPECT_EQ(registering.wait(), 1) << registering.stderrText();
    EXPECT_EQ(Json::parse(registering.stdoutText(), nullptr, false),
              Json({{"pushToken", "0c0d"}, {"registered", false}}));
  }
  EXPECT_FALSE(phone.registeredToken());

  // The next session's registration is sent, since nothing says the token is registered.
  phone.signIn("granted-token");
  const CliRun registered = phone.run({"push", "register", "--token", "0c0d"});
  EXPECT_EQ(registered.status, 0) << registered.stderrText;
  EXPECT_EQ(stdoutOf(registered), R"({"pushToken":"0c0d","registered":true})");
  EXPECT_EQ(push.registrations().size(), 2u);
}

TEST(CliAccountClear, ClearsRacingWithStoreTokensOfTheSameUserReportNoFailure) {
  constexpr int kClears = 40;
  constexpr int kWriters = 6;
  const ls::LocalService service;  // nothing is sent: store-tokens and clear stay on the device
  const Device phone("clear-race", service.baseUrl());
  const struct {
    std::vector<std::string> words;
    const char* out;
  } scopes[] = {{{"clear", "--userid", kUser, "--session"}, R"({"cleared":"session"})"},
                {{"clear", "--userid", kUser, "--all"}, R"({"cleared":"all"})"},
                {{"clear", "--last-user"}, R"({"cleared":"last_user"})"}};
  // Other processes store the same user's tokens, one after the other, all through the clears.
  struct Writers {
    std::atomic<bool> clearing{true};
    std::atomic<int> stored{0};
    std::vector<std::thread> threads;
    ~Writers() { stop(); }
    void stop() {
      clearing = false;
      for (auto& thread : threads) {
        if (thread.joinable()) thread.join();
      }
    }
  } writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.threads.emplace_back([&, w] {
      for (int n = 0; writers.clearing; ++n) {
        const std::string token = "access-" + std::to_string(w) + "-" + std::to_string(n);
        const CliRun run = phone.run({"store-tokens", "--userid", kUser, "--access-token", token});
        EXPECT_EQ(run.status, 0) << run.stderrText;
        ++writers.stored;
      }
    });
  }
  for (int round = 0; round < kClears; ++round) {
    testing::runWithWatchdog("a clear among writers", [&] {
      const auto& scope = scopes[round % 3];
      const CliRun run = phone.run(scope.words);
      EXPECT_EQ(run.status, 0) << "round " << round << ": " << run.stderrText;
      EXPECT_EQ(stdoutOf(run), scope.out) << "round " << round;
    });
  }
  testing::runWithWatchdog("the writers' last runs", [&] { writers.stop(); });
  EXPECT_GT(writers.stored, 0);
}

TEST(CliAccountClear, APushRecordThatStaysBehindMakesTheClearFail) {
  const ls::LocalService service;
  const Device phone("clear-record", service.baseUrl());
  phone.signIn("access-1");
  platform::UserDefaults::open(phone.defaultsFile())->setString(kRecordKey, "0c0d");
  // The data directory cannot be changed, its item directory can: the tokens go, the push
  // record in the user defaults stays.
  ImmutableDirectory readOnly(phone.dir());
  if (!readOnly.set()) GTEST_SKIP() << "the immutable attribute cannot be set here";
  const CliRun refused = phone.run({"clear", "--userid", kUser, "--session"});
  readOnly.release();
  EXPECT_EQ(refused.status, 1) << refused.stderrText;
  EXPECT_EQ(stdoutOf(refused), R"({"cleared":false})");
  EXPECT_EQ(phone.registeredToken(), "0c0d");

  const CliRun cleared = phone.run({"clear", "--userid", kUser, "--session"});
  EXPECT_EQ(cleared.status, 0) << cleared.stderrText;
  EXPECT_EQ(stdoutOf(cleared), R"({"cleared":"session"})");
  EXPECT_FALSE(phone.registeredToken());
}

}  // namespace
}  // namespace velqo::e2e
