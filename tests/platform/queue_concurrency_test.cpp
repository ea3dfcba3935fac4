#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "velqo/platform/queue.hpp"

namespace velqo::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& condition, Clock::duration timeout = 20s) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Captured by a timer handler: flags, with proper ordering, that the source has let go of it.
struct HandlerProbe {
  explicit HandlerProbe(std::atomic<bool>& flag) : released(flag) {}
  HandlerProbe(const HandlerProbe&) = delete;
  HandlerProbe& operator=(const HandlerProbe&) = delete;
  ~HandlerProbe() { released = true; }
  std::atomic<bool>& released;
};

std::shared_ptr<DispatchQueue> utility() {
  return globalQueue(QualityOfService::utility);
}

TEST(MainQueueConcurrency, ManyProducersKeepPerThreadOrderAndBlocksNeverOverlap) {
  constexpr int kThreads = 8, kPerThread = 400;
  std::vector<std::vector<int>> seen(kThreads);  // touched only by main-queue blocks
  std::atomic<int> inFlight{0}, overlaps{0}, total{0};
  std::thread host([] { mainQueue().runUntilStopped(); });
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        mainQueue().async([&, t, i] {
          if (inFlight.fetch_add(1) != 0) ++overlaps;
          seen[t].push_back(i);
          inFlight.fetch_sub(1);
          ++total;
        });
      }
    });
  }
  for (auto& p : producers) p.join();
  ASSERT_TRUE(eventually([&] { return total.load() == kThreads * kPerThread; }));
  mainQueue().stop();
  host.join();
  EXPECT_EQ(overlaps.load(), 0);
  for (const auto& s : seen) {
    ASSERT_EQ(s.size(), static_cast<std::size_t>(kPerThread));
    EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
  }
}

TEST(MainQueueConcurrency, ExecutorReceivesQueuedDueAndDelayedBlocksInOrder) {
  std::mutex m;
  std::deque<Block> posted;  // the host's event loop, run on this thread
  std::vector<int> order;
  bool allCurrent = true;
  auto record = [&](int n) {
    return [&, n] { allCurrent = allCurrent && mainQueue().isCurrent(), order.push_back(n); };
  };
  mainQueue().async(record(1));  // queued before the executor exists
  const auto start = Clock::now();
  Clock::duration delayedAfter{};
  mainQueue().setExecutor([&](Block b) {
    std::lock_guard lock(m);
    posted.push_back(std::move(b));
  });
  mainQueue().asyncAfter(200ms, [&] { delayedAfter = Clock::now() - start, record(4)(); });
  mainQueue().async(record(2));
  mainQueue().async(record(3));
  EXPECT_EQ(mainQueue().drain(), 0U) << "the host loop runs the blocks, not drain";
  EXPECT_TRUE(eventually([&] {
    std::deque<Block> batch;
    {
      std::lock_guard lock(m);
      batch.swap(posted);
    }
    for (auto& block : batch) block();
    return order.size() == 4;
  }));
  mainQueue().setExecutor(nullptr);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_GE(delayedAfter, 200ms);
  EXPECT_TRUE(allCurrent);
}

TEST(MainQueueConcurrency, AnInlineExecutorStaysSerialWhenBlocksQueueMore) {
  std::vector<int> order;
  mainQueue().setExecutor([](Block b) { b(); });
  mainQueue().async([&] {
    order.push_back(1);
    mainQueue().async([&] { order.push_back(3); });
    order.push_back(2);
  });
  mainQueue().setExecutor(nullptr);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(GlobalQueueConcurrency, EveryQualityRunsAllBlocksFromManyProducersDespiteThrows) {
  for (auto qos : {QualityOfService::userInitiated, QualityOfService::defaultQoS, QualityOfService::utility,
                   QualityOfService::background}) {
    auto queue = globalQueue(qos);
    EXPECT_EQ(queue, globalQueue(qos)) << "one shared pool per quality";
    std::atomic<int> ran{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < 6; ++t) {
      producers.emplace_back([&] {
        for (int i = 0; i < 300; ++i) {
          queue->async([&, i] {
            ++ran;
            if (i % 50 == 0) throw std::runtime_error("dropped");
          });
        }
      });
    }
    for (auto& p : producers) p.join();
    EXPECT_TRUE(eventually([&] { return ran.load() == 1800; })) << queue->label() << " ran " << ran.load();
  }
}

TEST(GlobalQueueConcurrency, DelayedBlocksWaitTheirDelayAndStartInDueOrder) {
  auto queue = globalQueue();
  std::mutex m;
  std::vector<std::pair<int, Clock::duration>> started;
  const auto start = Clock::now();
  for (int ms : {400, 0, 200}) {
    queue->asyncAfter(std::chrono::milliseconds(ms), [&, ms] {
      std::lock_guard lock(m);
      started.emplace_back(ms, Clock::now() - start);
    });
  }
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return started.size() == 3;
  }));
  std::lock_guard lock(m);
  for (std::size_t i = 0; i < started.size(); ++i) {
    EXPECT_EQ(started[i].first, static_cast<int>(i) * 200);
    EXPECT_GE(started[i].second, std::chrono::milliseconds(started[i].first));
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
  std::vector<Clock::duration> fires;
  std::atomic<int> inFlight{0}, overlaps{0};
  Clock::time_point resumedAt;
  std::atomic<bool> released{false};
  auto probe = std::make_shared<HandlerProbe>(released);
  // The handler takes longer than the interval: firings must not overlap on the pool.
  auto timer = TimerSource::create(utility(), 40ms, 0s, [&, probe] {
    if (inFlight.fetch_add(1) != 0) ++overlaps;
    {
      std::lock_guard lock(m);
      fires.push_back(Clock::now() - resumedAt);
    }
    std::this_thread::sleep_for(60ms);
    inFlight.fetch_sub(1);
  });
  probe.reset();
  std::this_thread::sleep_for(120ms);
  {
    std::lock_guard lock(m);
    EXPECT_TRUE(fires.empty()) << "nothing fires before resume()";
    resumedAt = Clock::now();
  }
  timer->resume();
  timer->resume();  // no second schedule
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return fires.size() >= 4;
  }));
  timer.reset();
  ASSERT_TRUE(eventually([&] { return released.load(); })) << "a running firing finishes first";
  std::lock_guard lock(m);
  EXPECT_GE(fires[0], 40ms);
  for (std::size_t i = 1; i < fires.size(); ++i) EXPECT_GE(fires[i] - fires[i - 1], 40ms);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(TimerSourceConcurrency, CancelAndDestructionStopFiringAndReleaseTheHandler) {
  enum class Stop { cancel, destroy, cancelInHandler, destroyInHandler };
  for (Stop how : {Stop::cancel, Stop::destroy, Stop::cancelInHandler, Stop::destroyInHandler}) {
    SCOPED_TRACE(static_cast<int>(how));
    std::atomic<int> fires{0};
    std::atomic<bool> stoppedInside{false}, released{false};
    auto probe = std::make_shared<HandlerProbe>(released);
    std::unique_ptr<TimerSource> timer;
    TimerSource* raw = nullptr;
    timer = TimerSource::create(utility(), 15ms, 0s, [&, probe] {
      if (++fires == 2) {
        if (how == Stop::cancelInHandler) raw->cancel();
        if (how == Stop::destroyInHandler) timer.reset();
        stoppedInside = true;
      }
    });
    raw = timer.get();
    probe.reset();
    timer->resume();
    ASSERT_TRUE(eventually([&] { return stoppedInside.load(); }));
    if (how == Stop::cancel) timer->cancel();
    if (how == Stop::destroy) timer.reset();
    if (how == Stop::cancelInHandler || how == Stop::cancel) {
      EXPECT_TRUE(raw->isCancelled());
      timer->resume();  // does not restart a cancelled timer
    }
    EXPECT_TRUE(eventually([&] { return released.load(); })) << "the handler is released";
    const int seen = fires.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(fires.load(), seen);
    if (how == Stop::cancelInHandler || how == Stop::destroyInHandler) {
      EXPECT_EQ(seen, 2);
    }
    timer.reset();
  }
}

TEST(TimerSourceConcurrency, FiresOnTheQueueItWasMadeFor) {
  std::atomic<int> onMain{0};
  auto timer = TimerSource::create(mainQueueHandle(), 20ms, 0s, [&] {
    if (mainQueue().isCurrent()) ++onMain;
  });
  timer->resume();
  EXPECT_TRUE(mainQueue().runUntil([&] { return onMain.load() >= 2; }, 20s));
  timer->cancel();
  mainQueue().runUntil([] { return false; }, 50ms);  // lets the last queued firing expire
  EXPECT_EQ(mainQueue().drain(), 0U);
}

TEST(TimerSourceConcurrency, RejectsAMissingQueueOrANonPositiveInterval) {
  EXPECT_THROW(TimerSource::create(nullptr, 1s, 0s, [] {}), std::invalid_argument);
  EXPECT_THROW(TimerSource::create(utility(), 0s, 0s, [] {}), std::invalid_argument);
  EXPECT_THROW(TimerSource::create(utility(), -1s, 0s, [] {}), std::invalid_argument);
}

}  // namespace
}  // namespace velqo::platform
