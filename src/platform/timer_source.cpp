#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "platform/queue_detail.hpp"
#include "velqo/platform/queue.hpp"

namespace velqo::platform {
namespace {

using detail::SteadyClock;
using detail::TimePoint;

// The timer's state lives apart from the source object: each scheduled firing holds it
// weakly, and a firing that runs keeps it alive until the handler has returned. So the
// source may be destroyed anywhere, its own handler included, and nothing dangles. One
// firing is queued at a time, the next one only after the handler returns, so the handler
// never overlaps itself even on a concurrent queue.
class TimerState final : public std::enable_shared_from_this<TimerState> {
 public:
  TimerState(std::shared_ptr<DispatchQueue> queue, Duration interval, Block handler)
      : queue_(std::move(queue)),
        interval_(interval),
        handler_(handler ? std::make_shared<const Block>(std::move(handler)) : nullptr) {}

  void resume() {
    Duration delay{};
    {
      std::lock_guard lock(mutex_);
      if (resumed_ || cancelled_.load()) return;
      resumed_ = true;
      const TimePoint now = SteadyClock::now();
      nextFire_ = detail::dueAfter(now, interval_);
      delay = nextFire_ - now;
    }
    schedule(delay);
  }

  void cancel() noexcept {
    std::shared_ptr<const Block> released;
    {
      std::lock_guard lock(mutex_);
      if (cancelled_.load()) return;
      cancelled_.store(true);
      released = std::move(handler_);
    }
    // `released` dies here, outside the lock. A firing still running holds its own reference,
    // so a handler that cancels (or destroys) its own source is not destroyed while it runs.
  }

  bool isCancelled() const noexcept { return cancelled_.load(); }

 private:
  void schedule(Duration delay) {
    queue_->asyncAfter(delay, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->fire();
    });
  }

  void fire() {
    std::shared_ptr<const Block> handler;
    {
      std::lock_guard lock(mutex_);
      if (cancelled_.load()) return;
      handler = handler_;
    }
    if (handler) detail::runBlockCatching(*handler);
    Duration delay{};
    {
      std::lock_guard lock(mutex_);
      if (cancelled_.load()) return;
      // The next firing keeps to the grid laid down at resume(), so lateness never adds up;
      // firings missed while the queue was busy are skipped, not run in a burst.
      const TimePoint now = SteadyClock::now();
      nextFire_ = detail::dueAfter(nextFire_, interval_);
      if (nextFire_ <= now) {
        const auto missed = (now - nextFire_) / interval_ + 1;
        nextFire_ = detail::dueAfter(nextFire_, interval_ * missed);
      }
      delay = nextFire_ - now;
    }
    schedule(delay);
  }

  const std::shared_ptr<DispatchQueue> queue_;
  const Duration interval_;
  std::mutex mutex_;
  std::shared_ptr<const Block> handler_;
  TimePoint nextFire_{};
  bool resumed_ = false;
  std::atomic<bool> cancelled_{false};
};

class TimerSourceImpl final : public TimerSource {
 public:
  explicit TimerSourceImpl(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
  ~TimerSourceImpl() override { state_->cancel(); }
  TimerSourceImpl(const TimerSourceImpl&) = delete;
  TimerSourceImpl& operator=(const TimerSourceImpl&) = delete;

  void resume() override { state_->resume(); }
  void cancel() override { state_->cancel(); }
  bool isCancelled() const noexcept override { return state_->isCancelled(); }

 private:
  std::shared_ptr<TimerState> state_;
};

}  // namespace

std::unique_ptr<TimerSource> TimerSource::create(std::shared_ptr<DispatchQueue> queue, Duration interval,
                                                 Duration leeway, Block handler) {
  (void)leeway;  // firings are as punctual as the queue allows; no coalescing is done
  if (!queue) throw std::invalid_argument("TimerSource needs a queue");
  if (interval <= Duration::zero()) throw std::invalid_argument("TimerSource interval must be positive");
  auto state = std::make_shared<TimerState>(std::move(queue), interval, std::move(handler));
  return std::make_unique<TimerSourceImpl>(std::move(state));
}

}  // namespace velqo::platform
