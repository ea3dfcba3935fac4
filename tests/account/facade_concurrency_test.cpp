// The facade's push state is written from callers' threads and from the main queue at once:
// under ThreadSanitizer any unguarded field shows up here.

#include <atomic>
#include <thread>

#include "account/facade_test_support.hpp"

namespace velqo::testing {
namespace {

TEST_F(FacadeTest, PushStateSurvivesCallsFromManyThreadsWhileAnswersArrive) {
  constexpr int kRounds = 100;
  const std::string user = "ada@example.com";
  signInThroughBackend(user);
  const auto payload =
      VelqoPushPayload({{"request_id", VelqoPushValue::string(push.raiseLoginRequest(user))}});
  std::atomic<int> declined{0};
  const std::function<void(int)> steps[] = {
      [&](int i) { sdk->setAPNsDeviceToken({static_cast<std::uint8_t>(i % 3)}); },
      [&](int) { sdk->userDidAuthenticate(); },
      [&](int) {
        sdk->setPushAuthDelegate(std::make_shared<RecordingDelegate>());
        EXPECT_TRUE(sdk->handlePushNotification(payload));
      },
      [&](int) {
        sdk->clearSessionTokens("someone-else@example.com");
        sdk->declineLoginRequest("unknown", [&](const auto&) { ++declined; });
      },
  };
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (const auto& step : steps) {
    threads.emplace_back([&step, &go] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kRounds; ++i) step(i);
    });
  }
  go = true;
  EXPECT_TRUE(runUntil([&] { return declined == kRounds; }));
  for (auto& t : threads) t.join();

  sdk->setAPNsDeviceToken({7});
  EXPECT_TRUE(runUntil([&] { return registeredToken(user) == "07"; }));
}

}  // namespace
}  // namespace velqo::testing
