#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <stdexcept>

#include "platform/platform_test_support.hpp"
#include "support/wait_bound.hpp"
#include "velqo/platform/queue.hpp"

namespace velqo::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::eventually;
using testing::inParallel;

// Captured by a timer handler: sets `flag` when the source lets go of the handler.
std::shared_ptr<void> releaseProbe(std::atomic<bool>& flag) {
  return {nullptr, [&flag](void*) { flag = true; }};
}

// Every test leaves the process-wide main queue empty for the next one.
class MainQueueTest : public ::testing::Test {
 protected:
  void TearDown() override { queue.drain(); }
  MainQueue& queue = mainQueue();
};

TEST_F(MainQueueTest, RunsDueBlocksInSubmissionOrderAndSurvivesThrowingBlocks) {
  std::vector<std::string> order;
  bool sawCurrent = false;
  queue.async([&] { order.push_back("a"); });
  queue.asyncAfter(0s, [&] { order.push_back("b"); });
  queue.asyncAfter(-5s, [&] {
    order.push_back("c");
    queue.async([&] { order.push_back("queued by c"); });
  });
  queue.async(nullptr);  // ignored
  queue.async([] { throw std::runtime_error("boom"); });
  queue.async([] { throw 42; });
  queue.async([&] { order.push_back("d"), sawCurrent = queue.isCurrent(); });
  EXPECT_EQ(queue.drain(), 7U);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "d", "queued by c"}));
  EXPECT_TRUE(sawCurrent);
  EXPECT_FALSE(queue.isCurrent());
}

TEST_F(MainQueueTest, RunUntilStopsAtTheConditionOrTheTimeoutAndRunsDelayedBlocksInDueOrder) {
  std::vector<int> order;
  const auto start = Clock::now();
  // Delays far beyond the checks below, so a loaded machine cannot make them due early.
  queue.asyncAfter(3s, [&] { order.push_back(3000); });
  queue.asyncAfter(2s, [&] { order.push_back(2000); });
  queue.async([&] { order.push_back(0); });
  queue.async([&] { order.push_back(1); });
  EXPECT_TRUE(queue.runUntil([&] { return order.size() == 1; }, testing::kWaitBound));
  EXPECT_EQ(order, std::vector<int>{0})
      << "the block after the one that satisfied the condition stays queued";
  EXPECT_EQ(queue.drain(), 1U) << "drain leaves the delayed blocks";
  EXPECT_FALSE(queue.runUntil([] { return false; }, 100ms));
  EXPECT_EQ(order.size(), 2U);
  EXPECT_TRUE(queue.runUntil([&] { return order.size() == 4; }, testing::kWaitBound));
  EXPECT_GE(Clock::now() - start, 3s);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2000, 3000}));
}

TEST_F(MainQueueTest, StopIsKeptUntilTheLoopRunsAndABlockMayDriveTheQueueItself) {
  std::vector<int> order;
  queue.async([&] { order.push_back(1); });
  queue.async([&] { order.push_back(2), queue.stop(); });
  queue.async([&] { order.push_back(3); });
  queue.runUntilStopped();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  queue.stop();
  queue.runUntilStopped();  // returns at once
  EXPECT_EQ(order, (std::vector<int>{1, 2}));

  queue.async([&] {
    queue.async([&] { order.push_back(4); });
    EXPECT_EQ(queue.drain(), 1U);  // nested run on the owning thread, no deadlock
    order.push_back(5);
  });
  EXPECT_EQ(queue.drain(), 2U) << "the block left by the stop, then the new one";
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(mainQueueHandle().get(), static_cast<DispatchQueue*>(&queue));
}

TEST_F(MainQueueTest, ManyProducersKeepPerThreadOrderAndBlocksNeverOverlap) {
  constexpr int kThreads = 8, kPerThread = 400;
  std::vector<std::vector<int>> seen(kThreads);  // touched only by main-queue blocks
  std::atomic<int> inFlight{0}, overlaps{0}, total{0};
  std::thread host([&] { queue.runUntilStopped(); });
  inParallel(kThreads, [&](int t) {
    for (int i = 0; i < kPerThread; ++i) {
      queue.async([&, t, i] {
        overlaps += inFlight.fetch_add(1) != 0;
        seen[t].push_back(i);
        inFlight.fetch_sub(1);
        ++total;
      });
    }
  });
  ASSERT_TRUE(eventually([&] { return total.load() == kThreads * kPerThread; }));
  queue.stop();
  host.join();
  EXPECT_EQ(overlaps.load(), 0);
  for (const auto& s : seen) {
    EXPECT_EQ(s.size(), static_cast<std::size_t>(kPerThread));
    EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
  }
}

TEST_F(MainQueueTest, ExecutorReceivesQueuedDueAndDelayedBlocksInOrder) {
  std::mutex m;
  std::deque<Block> posted;  // the host's event loop, run on this thread
  std::vector<int> order;
  bool allCurrent = true;
  auto record = [&](int n) {
    return [&, n] { allCurrent = allCurrent && queue.isCurrent(), order.push_back(n); };
  };
  queue.async(record(1));  // queued before the executor exists
  const auto start = Clock::now();
  Clock::duration delayedAfter{};
  queue.setExecutor([&](Block b) {
    std::lock_guard lock(m);
    posted.push_back(std::move(b));
  });
  queue.asyncAfter(2s, [&] { delayedAfter = Clock::now() - start, record(4)(); });  // due well after 2 and 3
  queue.async(record(2));
  queue.async(record(3));
  EXPECT_EQ(queue.drain(), 0U) << "the host loop runs the blocks, not drain";
  EXPECT_TRUE(eventually([&] {
    std::unique_lock lock(m);
    auto batch = std::exchange(posted, {});
    lock.unlock();
    for (auto& block : batch) block();
    return order.size() == 4;
  }));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_GE(delayedAfter, 2s);
  EXPECT_TRUE(allCurrent);

  // An inline executor stays serial when a block queues more.
  order.clear();
  queue.setExecutor([](Block b) { b(); });
  queue.async([&] {
    order.push_back(1);
    queue.async([&] { order.push_back(3); });
    order.push_back(2);
  });
  queue.setExecutor(nullptr);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(GlobalQueueConcurrency, EveryQualityRunsAllBlocksFromManyProducersDespiteThrows) {
  for (auto qos : {QualityOfService::userInitiated, QualityOfService::defaultQoS, QualityOfService::utility,
                   QualityOfService::background}) {
    auto queue = globalQueue(qos);
    EXPECT_EQ(queue, globalQueue(qos)) << "one shared pool per quality";
    std::atomic<int> ran{0};
    inParallel(6, [&](int) {
      for (int i = 0; i < 300; ++i) {
        queue->async([&, i] {
          ++ran;
          if (i % 50 == 0) throw std::runtime_error("dropped");
        });
      }
    });
    EXPECT_TRUE(eventually([&] { return ran.load() == 1800; })) << queue->label() << " ran " << ran.load();
  }
}

TEST(GlobalQueueConcurrency, ProcessExitStopsWorkersCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Pending delayed work, a running block and an executor scheduler at exit.
  EXPECT_EXIT(
      {
        mainQueue().setExecutor([](Block) {});
        mainQueue().asyncAfter(1h, [] {});
        globalQueue()->asyncAfter(1h, [] {});
        globalQueue(QualityOfService::utility)->async([] { std::this_thread::sleep_for(50ms); });
        std::this_thread::sleep_for(10ms);
        std::exit(7);
      },
      ::testing::ExitedWithCode(7), "");
  // exit() called from a worker thread itself.
  EXPECT_EXIT(
      {
        globalQueue()->async([] { std::exit(9); });
        std::this_thread::sleep_for(20s);
      },
      ::testing::ExitedWithCode(9), "");
}

TEST(TimerSourceConcurrency, FirstFiresOneIntervalAfterResumeThenRepeatsWithoutOverlap) {
  std::mutex m;
  std::vector<Clock::time_point> fires;
  std::atomic<int> inFlight{0}, overlaps{0};
  std::atomic<bool> released{false};
  // The handler takes longer than the interval: firings must not overlap on the pool.
  auto handler = [&, probe = releaseProbe(released)] {
    overlaps += inFlight.fetch_add(1) != 0;
    std::unique_lock lock(m);
    fires.push_back(Clock::now());
    lock.unlock();
    std::this_thread::sleep_for(60ms);
    inFlight.fetch_sub(1);
  };
  auto timer = TimerSource::create(globalQueue(QualityOfService::utility), 40ms, 0s, std::move(handler));
  std::this_thread::sleep_for(100ms);
  const auto resumedAt = Clock::now();
  timer->resume();
  timer->resume();  // no second schedule
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return fires.size() >= 4;
  }));
  timer.reset();
  ASSERT_TRUE(eventually([&] { return released.load(); })) << "a running firing finishes first";
  std::lock_guard lock(m);
  EXPECT_GE(fires[0] - resumedAt, 40ms) << "nothing fires before resume() plus one interval";
  for (std::size_t i = 1; i < fires.size(); ++i) EXPECT_GE(fires[i] - fires[i - 1], 40ms);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(TimerSourceConcurrency, CancelAndDestructionStopFiringAndReleaseTheHandler) {
  enum Stop { cancel, destroy, cancelInHandler, destroyInHandler };
  for (Stop how : {cancel, destroy, cancelInHandler, destroyInHandler}) {
    SCOPED_TRACE(how);
    std::atomic<int> fires{0};
    std::atomic<bool> stoppedInside{false}, released{false};
    std::unique_ptr<TimerSource> timer;
    TimerSource* raw = nullptr;
    auto handler = [&, probe = releaseProbe(released)] {
      if (++fires != 2) return;
      if (how == cancelInHandler) raw->cancel();
      if (how == destroyInHandler) timer.reset();
      stoppedInside = true;
    };
    timer = TimerSource::create(globalQueue(QualityOfService::utility), 15ms, 0s, std::move(handler));
    raw = timer.get();
    timer->resume();
    ASSERT_TRUE(eventually([&] { return stoppedInside.load(); }));
    if (how == cancel) timer->cancel();
    if (how == destroy) timer.reset();
    if (how == cancelInHandler || how == cancel) {
      EXPECT_TRUE(raw->isCancelled());
      timer->resume();  // does not restart a cancelled timer
    }
    EXPECT_TRUE(eventually([&] { return released.load(); })) << "the handler is released";
    const int seen = fires.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(fires.load(), seen);
    EXPECT_TRUE(how == cancel || how == destroy || seen == 2) << "stopped inside the second firing";
    timer.reset();
  }
}

TEST_F(MainQueueTest, TimerFiresOnItsQueueAndRejectsBadArguments) {
  std::atomic<int> onMain{0};
  auto timer = TimerSource::create(mainQueueHandle(), 20ms, 0s, [&] { onMain += queue.isCurrent(); });
  timer->resume();
  EXPECT_TRUE(queue.runUntil([&] { return onMain.load() >= 2; }, testing::kWaitBound));
  timer->cancel();
  queue.runUntil([] { return false; }, 50ms);  // lets the last queued firing expire
  EXPECT_EQ(queue.drain(), 0U);
  EXPECT_THROW(TimerSource::create(nullptr, 1s, 0s, [] {}), std::invalid_argument);
  EXPECT_THROW(TimerSource::create(globalQueue(), 0s, 0s, [] {}), std::invalid_argument);
  EXPECT_THROW(TimerSource::create(globalQueue(), -1s, 0s, [] {}), std::invalid_argument);
}

}  // namespace
}  // namespace velqo::platform
