// V5 engines driven from several threads at once while the main queue runs on its own thread:
// run under ThreadSanitizer.

#include <atomic>
#include <thread>

#include "account/v5_test_support.hpp"

namespace velqo::testing {
namespace {

using Kind = RecordingV5Callback::Kind;

// Polls a condition another thread makes true, with a generous bound.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class V5ConcurrencyTest : public V5EngineFixture {
 protected:
  void SetUp() override {
    V5EngineFixture::SetUp();
    mainRunner = std::thread([] { platform::mainQueue().runUntilStopped(); });
  }
  void TearDown() override {
    platform::mainQueue().stop();
    mainRunner.join();
    V5EngineFixture::TearDown();
  }
  std::thread mainRunner;
};

TEST_F(V5ConcurrencyTest, ParallelEnginesSignInTheirOwnUsers) {
  std::vector<std::thread> threads;
  std::atomic<int> signedIn{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      auto own = makeEngine();
      auto cb = std::make_shared<RecordingV5Callback>();
      const std::string user = "user-" + std::to_string(i);
      own->authenticate(user, cb);
      ASSERT_TRUE(eventually([&] { return cb->count() == 1; }));
      own->submitOtp("123456");
      ASSERT_TRUE(eventually([&] { return cb->count() == 2; }));
      own->authenticate(user, cb);
      ASSERT_TRUE(eventually([&] { return cb->count() == 3; }));
      const auto events = cb->events();
      EXPECT_EQ(events[1].kind, Kind::success) << events[1].second;
      EXPECT_EQ(events[2].kind, Kind::success) << events[2].second;
      EXPECT_TRUE(events[2].isLoginFlow && events[2].onMainQueue);
      ++signedIn;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(signedIn.load(), 4);
  EXPECT_EQ(peer.registrationCount(), 4u);
}

// Attempts started and codes submitted from several threads on one engine; a clean attempt
// afterwards still completes, whatever answers of superseded attempts are still arriving.
TEST_F(V5ConcurrencyTest, OneEngineUnderConcurrentCalls) {
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<RecordingV5Callback>> callbacks;
  for (int i = 0; i < 4; ++i) callbacks.push_back(std::make_shared<RecordingV5Callback>());
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 5; ++round) {
        engine->authenticate("racer-" + std::to_string(i), callbacks[i]);
        engine->submitOtp("123456");
      }
    });
  }
  for (auto& t : threads) t.join();

  engine->authenticate("final", callback);
  ASSERT_TRUE(eventually([&] { return callback->count() == 1; }));
  engine->submitOtp("123456");
  ASSERT_TRUE(eventually([&] { return callback->count() == 2; }));
  EXPECT_EQ(callback->last().kind, Kind::success) << callback->last().second;
}

}  // namespace
}  // namespace velqo::testing
