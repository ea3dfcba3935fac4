#include <algorithm>
#include <array>
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

// Each quality of service has its own pool, so slow background work never delays a
// user-initiated block or a utility timer. A pool starts with no thread and grows, up to
// its limit, whenever more blocks wait than workers are idle. An idle worker that waits for
// a delayed block takes a block submitted for now first: a process whose only delayed block
// is a sweep half a minute away does not start a second thread for its first real job.
unsigned workerLimit() {
  const unsigned hardware = std::thread::hardware_concurrency();
  return std::clamp(hardware, 2U, 4U);
}

class WorkerPool final : public DispatchQueue {
 public:
  WorkerPool(const char* label, unsigned maxWorkers) : label_(label), maxWorkers_(maxWorkers) {}

  void async(Block block) override { asyncAfter(Duration::zero(), std::move(block)); }

  void asyncAfter(Duration delay, Block block) override {
    if (!block) return;
    std::unique_lock lock(mutex_);
    if (stopping_) {
      lock.unlock();
      block = nullptr;  // the process is exiting: drop the block outside the lock
      return;
    }
    const bool now = delay <= Duration::zero();
    heap_.push(detail::dueAfter(delay), std::move(block));
    if (now) ++immediate_;
    if (workers_.size() < maxWorkers_ && (now ? immediate_ : heap_.size()) > idle_) {
      startWorkerLocked();
    } else {
      cv_.notify_one();
    }
  }

  const char* label() const noexcept override { return label_; }

  // Called once at process exit: queued blocks are dropped, running ones finish, and every
  // worker is joined. Later submissions are dropped.
  void shutdown() noexcept {
    std::vector<std::thread> threads;
    std::vector<Block> dropped;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      threads.swap(workers_);
      dropped = heap_.takeAll();
      cv_.notify_all();
    }
    for (auto& thread : threads) detail::joinOrDetach(thread);
    dropped.clear();
  }

 private:
  void startWorkerLocked();

  void workerLoop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (heap_.hasDue(SteadyClock::now())) {
        Block block = heap_.pop();
        if (immediate_ > 0) --immediate_;  // a count to size the pool by, not an exact one
        lock.unlock();
        detail::runBlockCatching(block);
        block = nullptr;
        lock.lock();
        continue;
      }
      ++idle_;
      if (heap_.empty()) {
        cv_.wait(lock);
      } else {
        detail::waitUntil(cv_, lock, heap_.nextDue());
      }
      --idle_;
    }
  }

  const char* label_;
  const unsigned maxWorkers_;
  std::mutex mutex_;
  std::condition_variable cv_;
  detail::TimedHeap heap_;
  std::vector<std::thread> workers_;
  std::size_t idle_ = 0;
  std::size_t immediate_ = 0;  // blocks submitted for now and not yet taken (about)
  bool stopping_ = false;
};

constexpr std::size_t kPoolCount = 4;

// Deliberately never destroyed: a block may submit to a pool from any thread until the end
// of the process. The worker threads themselves are stopped and joined by an atexit handler
// registered when the first worker starts; it runs before the destruction of every static
// that existed at that moment.
std::array<std::shared_ptr<WorkerPool>, kPoolCount>& pools() {
  static auto* all = [] {
    const unsigned limit = workerLimit();
    return new std::array<std::shared_ptr<WorkerPool>, kPoolCount>{
        std::make_shared<WorkerPool>("global.userInitiated", limit),
        std::make_shared<WorkerPool>("global.default", limit),
        std::make_shared<WorkerPool>("global.utility", limit),
        std::make_shared<WorkerPool>("global.background", limit)};
  }();
  return *all;
}

void shutdownPools() {
  for (auto& pool : pools()) pool->shutdown();
}

void WorkerPool::startWorkerLocked() {
  static const bool registered = [] {
    std::atexit(shutdownPools);
    return true;
  }();
  (void)registered;
  workers_.emplace_back([this] {
    detail::nameCurrentThread("velqo-global");
    workerLoop();
  });
}

}  // namespace

std::shared_ptr<DispatchQueue> globalQueue(QualityOfService qos) {
  switch (qos) {
    case QualityOfService::userInitiated:
      return pools()[0];
    case QualityOfService::defaultQoS:
      return pools()[1];
    case QualityOfService::utility:
      return pools()[2];
    case QualityOfService::background:
      return pools()[3];
  }
  return pools()[1];
}

}  // namespace velqo::platform
