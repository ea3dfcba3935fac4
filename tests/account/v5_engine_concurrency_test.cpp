// V5 engines driven from several threads at once while the main queue runs on its own thread:
// run under ThreadSanitizer.

#include <thread>

#include "account/v5_test_support.hpp"

namespace velqo::testing {
namespace {

using Kind = RecordingV5Callback::Kind;

// Polls for a count another thread's callbacks reach, with a generous bound.
bool reaches(const RecordingV5Callback& cb, std::size_t n) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
  while (cb.count() < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Each thread signs its own user in twice on its own engine while also starting attempts and
// submitting codes on one shared engine; a clean attempt on the shared engine still completes.
TEST_F(V5EngineFixture, EnginesUnderConcurrentCalls) {
  std::thread mainRunner([] { platform::mainQueue().runUntilStopped(); });
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      auto own = makeEngine();
      auto cb = std::make_shared<RecordingV5Callback>();
      auto racer = std::make_shared<RecordingV5Callback>();
      const std::string user = "user-" + std::to_string(i);
      own->authenticate(user, cb);
      for (int round = 0; round < 5; ++round) {
        engine->authenticate("racer-" + std::to_string(i), racer);
        engine->submitOtp("123456");
      }
      ASSERT_TRUE(reaches(*cb, 1));
      own->submitOtp("123456");
      ASSERT_TRUE(reaches(*cb, 2));
      EXPECT_EQ(cb->last().kind, Kind::success) << cb->last().second;
      own->authenticate(user, cb);
      ASSERT_TRUE(reaches(*cb, 3));
      EXPECT_TRUE(cb->last().kind == Kind::success && cb->last().isLoginFlow && cb->last().onMainQueue);
    });
  }
  for (auto& t : threads) t.join();

  engine->authenticate("final", callback);
  EXPECT_TRUE(reaches(*callback, 1));
  engine->submitOtp("123456");
  EXPECT_TRUE(reaches(*callback, 2));
  EXPECT_EQ(callback->last().kind, Kind::success) << callback->last().second;
  platform::mainQueue().stop();
  mainRunner.join();
}

}  // namespace
}  // namespace velqo::testing
