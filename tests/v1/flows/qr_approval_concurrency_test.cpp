// QR approvals from several threads at once on one service, and services released while their
// answers arrive (run under ThreadSanitizer in CI).

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "v1/flows/qr_oauth_test_support.hpp"

namespace velqo::testing {
namespace {

using Result = VelqoV1QrApprovalService::ApprovalResult;
using QrApprovalConcurrencyTest = QrApprovalFixture;

VelqoV1QrPayload bind(int i) {
  return VelqoV1QrPayload{
      VelqoV1QrPayloadType::qrLogin, "bind-" + std::to_string(i), "n", {}, "t", {}, {}, "raw"};
}

TEST_F(QrApprovalConcurrencyTest, ParallelApprovalsEachCompleteOnce) {
  setUpDevice();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 4;
  for (int i = 0; i < kThreads * kPerThread; ++i) qr.openBindSession("bind-" + std::to_string(i), "n");

  auto approvalService = approvals();
  std::vector<std::unique_ptr<Catcher<Result>>> catchers;
  for (int i = 0; i < kThreads * kPerThread; ++i) catchers.push_back(std::make_unique<Catcher<Result>>());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kPerThread; ++k) {
        const int i = t * kPerThread + k;
        approvalService->approve(bind(i), "alice", false, catchers[i]->callback());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& catcher : catchers) {
    auto result = catcher->wait();
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->ok()) << result->error().message();
    EXPECT_EQ(catcher->calls(), 1);
  }
  EXPECT_EQ(qr.decisions().size(), static_cast<std::size_t>(kThreads * kPerThread));
}

TEST_F(QrApprovalConcurrencyTest, ReleasingWhileAnswersArriveCallsAtMostOnce) {
  setUpDevice();
  auto calls = std::make_shared<std::atomic<int>>(0);  // completions may outlive this scope
  for (int i = 0; i < 12; ++i) {
    qr.openBindSession("bind-" + std::to_string(i), "n");
    auto approvalService = approvals();
    approvalService->approve(bind(i), "alice", false, [calls](const Result&) { ++*calls; });
    std::thread releaser([s = std::move(approvalService), i]() mutable {
      std::this_thread::sleep_for(std::chrono::microseconds(200 * (i % 4)));
      s.reset();
    });
    releaser.join();
  }
  // Let every answer land before counting.
  ASSERT_TRUE(probeAfterEarlierAnswers(service, *session));
  EXPECT_LE(calls->load(), 12);
}

}  // namespace
}  // namespace velqo::testing
