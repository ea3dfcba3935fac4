#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "velqo/platform/queue.hpp"

namespace velqo::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Every test leaves the process-wide main queue empty for the next one.
class MainQueueTest : public ::testing::Test {
 protected:
  void TearDown() override { mainQueue().drain(); }
  MainQueue& queue = mainQueue();
};

TEST_F(MainQueueTest, RunsDueBlocksInSubmissionOrderIncludingTheOnesTheyQueue) {
  std::vector<std::string> order;
  queue.async([&] { order.push_back("a"); });
  queue.asyncAfter(0s, [&] { order.push_back("b"); });
  queue.asyncAfter(-5s, [&] {
    order.push_back("c");
    queue.async([&] { order.push_back("queued by c"); });
  });
  queue.async(nullptr);  // ignored
  queue.async([&] { order.push_back("d"); });
  EXPECT_FALSE(queue.isCurrent());
  EXPECT_EQ(queue.drain(), 5U);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "d", "queued by c"}));
  EXPECT_EQ(queue.drain(), 0U);
}

TEST_F(MainQueueTest, DrainLeavesDelayedBlocksUntilTheyAreDue) {
  bool delayedRan = false;
  bool dueRan = false;
  const auto start = Clock::now();
  queue.asyncAfter(300ms, [&] { delayedRan = true; });
  queue.async([&] { dueRan = true; });
  EXPECT_EQ(queue.drain(), 1U);
  EXPECT_TRUE(dueRan);
  EXPECT_FALSE(delayedRan);
  EXPECT_TRUE(queue.runUntil([&] { return delayedRan; }, 20s));
  EXPECT_GE(Clock::now() - start, 300ms);
}

TEST_F(MainQueueTest, RunUntilStopsAtTheConditionOrTheTimeout) {
  int ran = 0;
  bool flag = false;
  queue.async([&] { ++ran; });
  queue.async([&] { ++ran, flag = true; });
  queue.async([&] { ++ran; });
  EXPECT_TRUE(queue.runUntil([&] { return flag; }, 20s));
  EXPECT_EQ(ran, 2) << "the block after the one that satisfied the condition stays queued";

  const auto start = Clock::now();
  EXPECT_FALSE(queue.runUntil([] { return false; }, 150ms));
  EXPECT_GE(Clock::now() - start, 150ms);
  EXPECT_EQ(ran, 3);
}

TEST_F(MainQueueTest, ThrowingBlocksAreDroppedAndTheQueueCarriesOn) {
  bool after = false;
  bool sawCurrent = false;
  queue.async([] { throw std::runtime_error("boom"); });
  queue.async([] { throw 42; });
  queue.async([&] { after = true, sawCurrent = mainQueue().isCurrent(); });
  EXPECT_EQ(queue.drain(), 3U);
  EXPECT_TRUE(after);
  EXPECT_TRUE(sawCurrent);
  EXPECT_FALSE(queue.isCurrent());
}

TEST_F(MainQueueTest, StopEndsTheLoopAfterTheRunningBlockAndIsNotLostBeforeTheLoopStarts) {
  std::vector<int> order;
  queue.async([&] { order.push_back(1); });
  queue.async([&] { order.push_back(2), queue.stop(); });
  queue.async([&] { order.push_back(3); });
  queue.runUntilStopped();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));

  queue.stop();
  queue.runUntilStopped();  // returns at once: the earlier stop was kept
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(queue.drain(), 1U);
}

TEST_F(MainQueueTest, ABlockMayDriveTheQueueItselfAndTheHandleIsTheSameQueue) {
  std::vector<int> order;
  queue.async([&] {
    order.push_back(1);
    queue.async([&] { order.push_back(2); });
    EXPECT_EQ(queue.drain(), 1U);  // nested run on the owning thread, no deadlock
    order.push_back(3);
  });
  EXPECT_EQ(queue.drain(), 1U);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

  const auto handle = mainQueueHandle();
  EXPECT_EQ(handle.get(), static_cast<DispatchQueue*>(&queue));
  EXPECT_STREQ(handle->label(), "main");
}

}  // namespace
}  // namespace velqo::platform
