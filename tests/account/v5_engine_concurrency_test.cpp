// V5 engines driven from several threads at once while the main queue runs on its own thread:
// run under ThreadSanitizer.

#include <thread>

#include "account/v5_test_support.hpp"
#include "platform/platform_test_support.hpp"

namespace velqo::testing {
namespace {

// Attempts started and codes submitted from several threads on one engine, while answers
// arrive on the main queue; a clean attempt afterwards still completes.
TEST_F(V5EngineFixture, EngineUnderConcurrentCalls) {
  std::thread mainRunner([] { platform::mainQueue().runUntilStopped(); });
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      auto racer = std::make_shared<RecordingCallback>();
      for (int round = 0; round < 5; ++round) {
        engine->authenticate("racer-" + std::to_string(i % 2), racer);
        engine->submitOtp("123456");
      }
    });
  }
  for (auto& t : threads) t.join();

  engine->authenticate("final", callback);
  EXPECT_TRUE(eventually([&] { return callback->count() >= 1; }, kWaitBound));
  engine->submitOtp("123456");
  EXPECT_TRUE(eventually([&] { return callback->count() >= 2; }, kWaitBound) &&
              callback->last().kind == "success")
      << callback->last().second;
  engine->authenticate("final", callback);
  EXPECT_TRUE(eventually([&] { return callback->count() >= 3; }, kWaitBound) && callback->last().isLoginFlow)
      << callback->last().second;
  platform::mainQueue().stop();
  mainRunner.join();
}

}  // namespace
}  // namespace velqo::testing
