#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform_test_support.hpp"
#include "support/loopback_server.hpp"
#include "support/wait_bound.hpp"
#include "velqo/platform/http.hpp"

namespace velqo::platform {
namespace {

using namespace std::chrono_literals;
using testing::makeRequest;
using testing::perform;

template <class T>
bool ready(std::future<T>& future) {
  return future.wait_for(testing::kWaitBound) == std::future_status::ready;
}

using HttpSessionConcurrency = testing::HttpServerTest;

TEST_F(HttpSessionConcurrency, ManyThreadsManyRequestsEachCompleteOnceOneAtATime) {
  constexpr int kThreads = 8, kPerThread = 30, kTotal = kThreads * kPerThread;
  auto session = HttpSession::create({.caFile = std::nullopt, .maxConcurrentTransfers = 6});
  std::vector<std::atomic<int>> calls(kTotal);
  std::atomic<int> wrong{0}, running{0}, overlapping{0}, finished{0};
  std::promise<void> allDone;
  testing::inParallel(kThreads, [&](int t) {
    for (int id = t * kPerThread; id < (t + 1) * kPerThread; ++id) {
      const std::string body = R"({"id":)" + std::to_string(id) + "}";
      session->dataTask(echo(body), [&, id, body](auto got, auto response, auto) {
        overlapping += running.fetch_add(1) != 0;
        wrong += !response || got != body || !session->isCompletionThread();
        ++calls[static_cast<std::size_t>(id)];
        running.fetch_sub(1);
        if (++finished == kTotal) allDone.set_value();
      });
    }
  });
  auto done = allDone.get_future();
  ASSERT_TRUE(ready(done));
  // One more round trip: any duplicate call would have been made by now.
  ASSERT_TRUE(perform(session, server_.url("/echo"), "POST", "{}").response);
  for (int id = 0; id < kTotal; ++id) EXPECT_EQ(calls[static_cast<std::size_t>(id)].load(), 1) << id;
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(overlapping.load(), 0);
}

TEST_F(HttpSessionConcurrency, FollowUpTasksFromInsideCompletionsChain) {
  auto session = HttpSession::create();
  std::promise<int> done;
  std::function<void(int)> step = [&](int n) {
    session->dataTask(echo(std::to_string(n)), [&, n](auto body, auto, auto) {
      if (body != std::to_string(n) || n == 20) return done.set_value(n);
      step(n + 1);
    });
  };
  step(1);
  auto future = done.get_future();
  ASSERT_TRUE(ready(future));
  EXPECT_EQ(future.get(), 20);
}

TEST_F(HttpSessionConcurrency, DestroyingSessionDropsInFlightCompletionsWithoutHanging) {
  auto session = HttpSession::create();
  std::atomic<int> called{0};
  auto token = std::make_shared<int>(0);  // held by every completion
  for (int i = 0; i < 4; ++i) {
    session->dataTask(makeRequest(server_.url("/held"), "POST", "{}"),
                      [&called, token](auto, auto, auto) { ++called; });
  }
  ASSERT_TRUE(testing::eventually([&] { return heldArrived_.load() == 4; }));
  session.reset();                  // returns although all four are still waiting for their answers
  EXPECT_EQ(token.use_count(), 1);  // the completions were destroyed ...
  held_.open();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(called.load(), 0);  // ... and never called

  // Destroyed from another thread while completions run: none is called twice, nothing hangs.
  for (int round = 0; round < 15; ++round) {
    session = HttpSession::create({.caFile = std::nullopt, .maxConcurrentTransfers = 4});
    auto calls = std::make_shared<std::vector<std::atomic<int>>>(20);
    auto first = std::make_shared<std::promise<void>>();
    auto firstSet = std::make_shared<std::atomic<bool>>(false);
    for (std::size_t i = 0; i < calls->size(); ++i) {
      session->dataTask(echo(), [calls, i, first, firstSet](auto, auto, auto) {
        ++(*calls)[i];
        if (!firstSet->exchange(true)) first->set_value();
      });
    }
    auto future = first->get_future();
    ASSERT_TRUE(ready(future));
    std::thread([s = std::move(session)]() mutable { s.reset(); }).join();
    for (const auto& count : *calls) EXPECT_LE(count.load(), 1);
  }
}

TEST_F(HttpSessionConcurrency, LastReferenceReleasedInsideOrByItsOwnCompletion) {
  // Inside the call: the completion drops the only reference to its session.
  auto session = HttpSession::create();
  auto holder = std::make_shared<std::shared_ptr<HttpSession>>(std::move(session));
  std::promise<bool> released;
  (*holder)->dataTask(echo(), [holder, &released](auto, auto, auto) {
    const bool onThread = (*holder)->isCompletionThread();
    holder->reset();
    released.set_value(onThread);
  });
  holder.reset();
  auto onThread = released.get_future();
  ASSERT_TRUE(ready(onThread));
  EXPECT_TRUE(onThread.get());

  // After the call: the completion object itself holds the last reference.
  std::promise<void> called;
  session = HttpSession::create();
  std::weak_ptr<HttpSession> watch = session;
  session->dataTask(echo(), [session, &called](auto, auto, auto) { called.set_value(); });
  session.reset();
  auto calledFuture = called.get_future();
  ASSERT_TRUE(ready(calledFuture));
  EXPECT_TRUE(testing::eventually([&] { return watch.expired(); }));

  // The worker of a session released this way does not take others with it.
  EXPECT_TRUE(perform(HttpSession::create(), server_.url("/echo"), "POST", "{}").response);
}

}  // namespace
}  // namespace velqo::platform
