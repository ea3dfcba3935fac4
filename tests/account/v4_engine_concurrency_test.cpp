// One V4 engine driven from several threads at once while the main queue runs: attempts that
// were overtaken never complete, and the last attempt finishes normally.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "account/v4_test_support.hpp"
#include "core/storage/keychain_manager.hpp"

namespace velqo::testing {
namespace {

TEST(V4EngineConcurrency, OvertakenAttemptsNeverComplete) {
  V4Rig rig;
  auto engine = rig.engine();
  ASSERT_TRUE(rig.registerDevice(*engine, "known"));  // so that some attempts log in

  // Answers wait until every attempt has started, so all but the last are overtaken.
  std::atomic<bool> released{false};
  auto settings = localservice::V4Peer::Settings{};
  settings.beforeAnswering = [&released] {
    for (int i = 0; i < 60000 && !released; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  rig.peer.setSettings(settings);

  constexpr int kAttempts = 24;
  std::vector<std::shared_ptr<RecordingCallback>> callbacks;
  for (int i = 0; i < kAttempts; ++i) callbacks.push_back(std::make_shared<RecordingCallback>());
  std::atomic<int> running{2};
  std::thread starter([&] {
    for (int i = 0; i < kAttempts; ++i)
      engine->authenticate(i % 3 == 0 ? "known" : "user" + std::to_string(i), callbacks[i]);
    --running;
  });
  std::thread submitter([&] {
    for (int i = 0; i < kAttempts; ++i) engine->submitOtp("000000");
    --running;
  });
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return running == 0; }, std::chrono::seconds(120)));
  starter.join();
  submitter.join();
  released = true;
  ASSERT_TRUE(platform::mainQueue().runUntil(
      [&] {
        return std::ranges::any_of(callbacks.back()->events(), [](auto& e) { return e.kind == "otp"; });
      },
      std::chrono::seconds(120)));
  rig.peer.setSettings({});

  // Only the last attempt heard its answer; start a clean one.
  auto last = std::make_shared<RecordingCallback>();
  engine->authenticate("newcomer", last);
  ASSERT_TRUE(last->waitFor(1));
  ASSERT_EQ(last->last().kind, "otp") << last->last().second;
  engine->submitOtp(*rig.peer.otpFor("newcomer"));
  ASSERT_TRUE(last->waitFor(2));
  EXPECT_EQ(last->last().kind, "success") << last->last().second;
  EXPECT_TRUE(KeychainManager::getV4PersistentDeviceToken("newcomer"));

  // The overtaken attempts heard at most a refused code submission, never an answer.
  for (int i = 0; i + 1 < kAttempts; ++i) {
    for (const auto& e : callbacks[i]->events()) EXPECT_EQ(e.kind, "error") << i << " " << e.kind;
  }
  EXPECT_FALSE(KeychainManager::getJWTAccessToken("known"));
  EXPECT_EQ(last->events().size(), 2u);
}

}  // namespace
}  // namespace velqo::testing
