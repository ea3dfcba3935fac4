#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_test_support.hpp"
#include "support/loopback_server.hpp"
#include "velqo/platform/http.hpp"

namespace velqo::platform {
namespace {

using testing::makeRequest;
using testing::perform;
using velqo::testing::Gate;
using velqo::testing::LoopbackServer;

class HttpSessionConcurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<LoopbackServer>([this](httplib::Server& s) {
      s.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.body, "application/json");
      });
      s.Post("/held", [this](const httplib::Request&, httplib::Response& res) {
        ++heldArrived_;
        held_.wait(std::chrono::seconds(10));
        res.set_content("{}", "application/json");
      });
    });
  }
  void TearDown() override {
    held_.open();
    server_.reset();
  }

  // Waits until `count` requests wait in the held handler.
  bool waitForHeld(int count) {
    for (int i = 0; i < 10000 && heldArrived_.load() < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return heldArrived_.load() >= count;
  }

  std::unique_ptr<LoopbackServer> server_;
  Gate held_;
  std::atomic<int> heldArrived_{0};
};

TEST_F(HttpSessionConcurrency, ManyThreadsManyRequestsEachCompleteOnceOneAtATime) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 30;
  constexpr int kTotal = kThreads * kPerThread;
  auto session = HttpSession::create({.caFile = std::nullopt, .maxConcurrentTransfers = 6});
  std::vector<std::atomic<int>> calls(kTotal);
  std::atomic<int> wrong{0};
  std::atomic<int> running{0};
  std::atomic<int> overlapping{0};
  std::atomic<int> finished{0};
  std::promise<void> allDone;

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const int id = t * kPerThread + i;
        const std::string body = R"({"id":)" + std::to_string(id) + "}";
        session->dataTask(makeRequest(server_->url("/echo"), "POST", body),
                          [&, id, body](std::optional<std::string> got, std::optional<HttpResponse> response,
                                        std::optional<PlatformError>) {
                            if (running.fetch_add(1) != 0) ++overlapping;
                            if (!response || got != body || !session->isCompletionThread()) ++wrong;
                            ++calls[static_cast<std::size_t>(id)];
                            running.fetch_sub(1);
                            if (++finished == kTotal) allDone.set_value();
                          });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(allDone.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  // One more round trip: any duplicate call would have been made by now.
  ASSERT_TRUE(perform(session, makeRequest(server_->url("/echo"), "POST", "{}")).response);
  for (int id = 0; id < kTotal; ++id) EXPECT_EQ(calls[static_cast<std::size_t>(id)].load(), 1) << id;
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(overlapping.load(), 0);
}

TEST_F(HttpSessionConcurrency, FollowUpTasksFromInsideCompletionsChain) {
  auto session = HttpSession::create();
  std::promise<int> done;
  std::function<void(int)> step = [&](int n) {
    session->dataTask(
        makeRequest(server_->url("/echo"), "POST", std::to_string(n)),
        [&, n](std::optional<std::string> body, std::optional<HttpResponse>, std::optional<PlatformError>) {
          if (body != std::to_string(n) || n == 20) {
            done.set_value(n);
          } else {
            step(n + 1);
          }
        });
  };
  step(1);
  auto future = done.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(future.get(), 20);
}

TEST_F(HttpSessionConcurrency, DestroyingSessionDropsInFlightCompletionsWithoutHanging) {
  auto session = HttpSession::create();
  std::atomic<int> called{0};
  auto token = std::make_shared<int>(0);  // held by every completion
  for (int i = 0; i < 4; ++i) {
    session->dataTask(makeRequest(server_->url("/held"), "POST", "{}"),
                      [&called, token](auto, auto, auto) { ++called; });
  }
  ASSERT_TRUE(waitForHeld(4));
  session.reset();                  // returns although all four are still waiting for their answers
  EXPECT_EQ(token.use_count(), 1);  // the completions were destroyed ...
  held_.open();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(called.load(), 0);  // ... and never called
}

TEST_F(HttpSessionConcurrency, LastReferenceReleasedInsideItsOwnCompletion) {
  // Inside the call: the completion drops the only reference to its session.
  {
    auto session = HttpSession::create();
    auto holder = std::make_shared<std::shared_ptr<HttpSession>>(session);
    std::promise<bool> released;
    session->dataTask(makeRequest(server_->url("/echo"), "POST", "{}"),
                      [holder, &released](auto, auto, auto) {
                        const bool onThread = (*holder)->isCompletionThread();
                        holder->reset();
                        released.set_value(onThread);
                      });
    session.reset();
    auto future = released.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(future.get());
  }
  // After the call: the completion object itself holds the last reference.
  {
    std::weak_ptr<HttpSession> watch;
    std::promise<void> called;
    {
      auto session = HttpSession::create();
      watch = session;
      session->dataTask(makeRequest(server_->url("/echo"), "POST", "{}"),
                        [session, &called](auto, auto, auto) { called.set_value(); });
    }
    ASSERT_EQ(called.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    for (int i = 0; i < 5000 && !watch.expired(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(watch.expired());
  }
  // The worker of a session released this way does not take others with it.
  auto fresh = HttpSession::create();
  EXPECT_TRUE(perform(fresh, makeRequest(server_->url("/echo"), "POST", "{}")).response);
}

TEST_F(HttpSessionConcurrency, DestroyingWhileCompletionsRunNeverCallsTwiceOrHangs) {
  for (int round = 0; round < 15; ++round) {
    auto session = HttpSession::create({.caFile = std::nullopt, .maxConcurrentTransfers = 4});
    auto calls = std::make_shared<std::vector<std::atomic<int>>>(20);
    std::promise<void> first;
    std::atomic<bool> firstSet{false};
    for (std::size_t i = 0; i < calls->size(); ++i) {
      session->dataTask(makeRequest(server_->url("/echo"), "POST", "{}"),
                        [calls, i, &first, &firstSet](auto, auto, auto) {
                          ++(*calls)[i];
                          if (!firstSet.exchange(true)) first.set_value();
                        });
    }
    ASSERT_EQ(first.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    std::thread destroyer([s = std::move(session)]() mutable { s.reset(); });
    destroyer.join();
    for (const auto& count : *calls) EXPECT_LE(count.load(), 1);
  }
}

TEST_F(HttpSessionConcurrency, SharedSessionIsOneInstanceForEveryThread) {
  std::vector<std::shared_ptr<HttpSession>> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = HttpSession::shared(); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& session : seen) EXPECT_EQ(session, seen.front());
  const auto outcome = perform(HttpSession::shared(), makeRequest(server_->url("/echo"), "POST", "[1]"));
  EXPECT_EQ(outcome.body, "[1]");
}

}  // namespace
}  // namespace velqo::platform
