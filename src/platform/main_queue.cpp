#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/queue_detail.hpp"
#include "velqo/platform/queue.hpp"

namespace velqo::platform {
namespace {

using detail::SteadyClock;
using detail::TimePoint;

// How often runUntil re-checks its condition while the queue is idle, so that a condition
// made true by another thread is noticed without a main-queue block.
constexpr auto kConditionRecheck = std::chrono::milliseconds(5);

// The main queue. All state sits under one mutex. Host-driven mode: whichever thread drives
// the queue takes "ownership" for the duration of one block, so blocks run one at a time and
// in order even if two threads drive it; the owning thread may drive again from inside a
// block (a nested run). Executor mode: due blocks are handed to the executor in order by one
// forwarder at a time; delayed blocks are forwarded by a scheduler thread, started on first
// need and joined at exit.
class MainQueueImpl final : public MainQueue {
 public:
  void async(Block block) override { asyncAfter(Duration::zero(), std::move(block)); }

  void asyncAfter(Duration delay, Block block) override {
    if (!block) return;
    std::unique_lock lock(mutex_);
    const TimePoint now = SteadyClock::now();
    const TimePoint due = detail::dueAfter(now, delay);
    heap_.push(due, std::move(block));
    cv_.notify_all();
    if (executor_) {
      if (due <= now) {
        forwardDueLocked(lock);
      } else {
        ensureSchedulerLocked();
      }
    }
  }

  const char* label() const noexcept override { return "main"; }

  void setExecutor(Executor executor) override {
    auto next = executor ? std::make_shared<Executor>(std::move(executor)) : nullptr;
    std::unique_lock lock(mutex_);  // released before `next` (now the old executor) is destroyed
    executor_.swap(next);
    cv_.notify_all();
    if (executor_) {
      if (!heap_.empty()) ensureSchedulerLocked();
      forwardDueLocked(lock);
    }
  }

  void runUntilStopped() override {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stopRequested_) {
        stopRequested_ = false;
        return;
      }
      if (canDriveLocked(SteadyClock::now())) {
        runOneLocked(lock);
      } else {
        waitForWorkLocked(lock, TimePoint::max());
      }
    }
  }

  void stop() override {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    cv_.notify_all();
  }

  std::size_t drain() override {
    std::size_t count = 0;
    std::unique_lock lock(mutex_);
    while (canDriveLocked(SteadyClock::now())) {
      runOneLocked(lock);
      ++count;
    }
    return count;
  }

  bool runUntil(const std::function<bool()>& condition, Duration timeout) override {
    const TimePoint deadline = detail::dueAfter(timeout);
    for (;;) {
      if (condition()) return true;
      std::unique_lock lock(mutex_);
      const TimePoint now = SteadyClock::now();
      if (canDriveLocked(now)) {
        runOneLocked(lock);
        continue;
      }
      if (now >= deadline) return false;
      waitForWorkLocked(lock, std::min(deadline, now + kConditionRecheck));
    }
  }

  bool isCurrent() const noexcept override { return tlsCurrent == this; }

  // Registered with atexit when the scheduler thread starts: stops and joins it, so no thread
  // of ours outlives the statics that were alive when it started.
  void shutdownScheduler() noexcept {
    {
      std::lock_guard lock(mutex_);
      schedulerExiting_ = true;
      cv_.notify_all();
    }
    detail::joinOrDetach(scheduler_);
  }

 private:
  bool canDriveLocked(TimePoint now) const noexcept {
    return !executor_ && heap_.hasDue(now) && (ownerDepth_ == 0 || owner_ == std::this_thread::get_id());
  }

  // Precondition: canDriveLocked. Runs the next block with the lock released.
  void runOneLocked(std::unique_lock<std::mutex>& lock) {
    Block block = heap_.pop();
    owner_ = std::this_thread::get_id();
    ++ownerDepth_;
    lock.unlock();
    runAsCurrent(block);
    block = nullptr;  // whatever the block captured is released outside the lock
    lock.lock();
    if (--ownerDepth_ == 0) owner_ = std::thread::id();
    cv_.notify_all();
  }

  // Sleeps until new work, a stop, the release of another driver's ownership, the next due
  // time (when this thread may drive) or `deadline`, whichever comes first.
  void waitForWorkLocked(std::unique_lock<std::mutex>& lock, TimePoint deadline) {
    TimePoint wake = deadline;
    const bool mayDrive = !executor_ && (ownerDepth_ == 0 || owner_ == std::this_thread::get_id());
    if (mayDrive && !heap_.empty()) wake = std::min(wake, heap_.nextDue());
    if (wake == TimePoint::max()) {
      cv_.wait(lock);
    } else {
      detail::waitUntil(cv_, lock, wake);
    }
  }

  void runAsCurrent(const Block& block) noexcept {
    const MainQueueImpl* previous = tlsCurrent;
    tlsCurrent = this;
    detail::runBlockCatching(block);
    tlsCurrent = previous;
  }

  // Hands every due block to the executor, in order, with the lock released during the
  // calls. Only one thread forwards at a time: a block queued meanwhile is picked up by that
  // thread's next round, so an executor that runs blocks inline never re-enters here. A
  // block due at submission is claimed by its submitter under the same lock, so it is
  // forwarded from the submitting thread unless another forwarder is already at work.
  void forwardDueLocked(std::unique_lock<std::mutex>& lock) {
    if (forwarding_) return;
    forwarding_ = true;
    for (;;) {
      std::shared_ptr<Executor> executor = executor_;
      if (!executor) break;
      std::vector<Block> batch;
      const TimePoint now = SteadyClock::now();
      while (heap_.hasDue(now)) batch.push_back(heap_.pop());
      if (batch.empty()) break;
      lock.unlock();
      for (auto& block : batch) forward(*executor, std::move(block));
      batch.clear();
      executor.reset();  // may be the last reference if the executor was replaced meanwhile
      lock.lock();
    }
    forwarding_ = false;
    cv_.notify_all();
  }

  void forward(const Executor& executor, Block block) noexcept {
    Block wrapped = [this, block = std::move(block)] {
      runAsCurrent(block);
      cv_.notify_all();  // lets a runUntil on another thread re-check its condition
    };
    try {
      executor(std::move(wrapped));
    } catch (...) {
      // The host's executor refused the block; it is dropped like a block that throws.
    }
  }

  void ensureSchedulerLocked() {
    if (scheduler_.joinable() || schedulerExiting_) return;
    scheduler_ = std::thread([this] { schedulerLoop(); });
    static const bool registered = [] {
      std::atexit([] { instance().shutdownScheduler(); });
      return true;
    }();
    (void)registered;
  }

  void schedulerLoop() {
    detail::nameCurrentThread("velqo-main-timer");
    std::unique_lock lock(mutex_);
    while (!schedulerExiting_) {
      if (!executor_ || heap_.empty() || forwarding_) {
        cv_.wait(lock);  // forwarding_ ends with a notify; that forwarder takes due blocks
      } else if (heap_.nextDue() <= SteadyClock::now()) {
        forwardDueLocked(lock);
      } else {
        detail::waitUntil(cv_, lock, heap_.nextDue());
      }
    }
  }

 public:
  // Deliberately never destroyed: blocks and timers may reach the main queue from any
  // thread up to the very end of the process.
  static const std::shared_ptr<MainQueueImpl>& handle() {
    static const auto* holder = new std::shared_ptr<MainQueueImpl>(std::make_shared<MainQueueImpl>());
    return *holder;
  }
  static MainQueueImpl& instance() { return *handle(); }

 private:
  static thread_local const MainQueueImpl* tlsCurrent;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  detail::TimedHeap heap_;
  std::shared_ptr<Executor> executor_;
  bool forwarding_ = false;
  bool stopRequested_ = false;
  std::thread::id owner_;
  int ownerDepth_ = 0;
  std::thread scheduler_;
  bool schedulerExiting_ = false;
};

thread_local const MainQueueImpl* MainQueueImpl::tlsCurrent = nullptr;

}  // namespace

MainQueue& mainQueue() {
  return MainQueueImpl::instance();
}

std::shared_ptr<DispatchQueue> mainQueueHandle() {
  return MainQueueImpl::handle();
}

}  // namespace velqo::platform
