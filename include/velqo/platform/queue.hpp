#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "velqo/export.hpp"

namespace velqo::platform {

using Block = std::function<void()>;
using Duration = std::chrono::steady_clock::duration;

/// Quality of service of the global worker queues.
enum class QualityOfService { userInitiated, defaultQoS, utility, background };

/// A queue that runs blocks. Blocks never throw out of a queue: an exception escaping a
/// block is caught and dropped so one faulty callback
/// cannot take a worker down. Every member is safe to call from any thread; an empty block
/// is ignored. Blocks with the same due time start in submission order.
class VELQO_API DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;
  /// Runs the block as soon as the queue gets to it; returns at once.
  virtual void async(Block block) = 0;
  /// Runs the block once `delay` has passed (a negative or zero delay means now).
  virtual void asyncAfter(Duration delay, Block block) = 0;
  /// A short name for diagnostics ("main", "global.default", ...).
  virtual const char* label() const noexcept = 0;
};

/// The main queue: a serial queue that the host application drives. Nothing runs on it
/// until the host either drives it (`runUntilStopped`, `drain`, `runUntil`) on a thread of
/// its choice, or installs an executor that forwards each block to its own event loop.
/// Blocks run one at a time in submission order (delayed blocks when they are due).
/// The queue lives for the whole process; blocks still queued at exit never run.
class VELQO_API MainQueue : public DispatchQueue {
 public:
  /// Forwards every due block to the host's loop. The executor must run each block exactly
  /// once, serially. Set it before work is queued; pass an empty function to go back to
  /// host-driven mode. Blocks already due when it is set are forwarded at once. The
  /// executor is called on the thread that submits (or installs the executor), or, for
  /// delayed blocks, on a scheduler thread the queue starts the first time one is needed
  /// (joined at exit). An exception thrown by the executor drops that block.
  using Executor = std::function<void(Block)>;

  virtual void setExecutor(Executor executor) = 0;
  /// Runs blocks on the calling thread until `stop()` is called.
  virtual void runUntilStopped() = 0;
  /// Makes `runUntilStopped` return after the block that is running. A stop requested while
  /// nothing runs the queue is kept and ends the next `runUntilStopped` at once, so a stop
  /// from another thread cannot be lost in a race with the start of the loop.
  virtual void stop() = 0;
  /// Runs every block that is due now (and those they queue that are due) and returns how
  /// many ran. Never waits: while another thread is in the middle of a main-queue block it
  /// leaves the remaining blocks to that thread. Runs nothing in executor mode.
  virtual std::size_t drain() = 0;
  /// Runs blocks on the calling thread until `condition` holds (checked before waiting and
  /// after every block) or `timeout` passes. Returns whether the condition held. While idle
  /// the condition is also re-checked every few milliseconds, so one made true by another
  /// thread is seen promptly. An exception from `condition` propagates to the caller.
  virtual bool runUntil(const std::function<bool()>& condition, Duration timeout) = 0;
  /// True when called from inside a block the main queue is running.
  virtual bool isCurrent() const noexcept = 0;
};

/// The process's main queue. Created on first use.
VELQO_API MainQueue& mainQueue();
/// The same queue as a shared handle, for APIs that keep a callback queue.
VELQO_API std::shared_ptr<DispatchQueue> mainQueueHandle();

/// A global concurrent queue: a small shared worker pool (started on first use, stopped
/// cleanly at exit). Blocks may run in parallel on different workers. Each quality of service
/// has its own pool of at most four threads, started one by one as work waits; at process exit
/// queued blocks are dropped, running ones are awaited and the workers joined.
VELQO_API std::shared_ptr<DispatchQueue> globalQueue(QualityOfService qos = QualityOfService::defaultQoS);

/// A repeating timer source on a queue: the handler first runs one interval after
/// `resume()`, then every interval, until cancelled. Destroying the source cancels it; after
/// `cancel()` returns (or the destructor finishes) the handler is not started again, though a
/// firing that had already started on another thread may still be finishing. The handler is
/// held by the source only, so a source owned by an object ends with that object; it is
/// released on `cancel()` (after a running firing returns). The handler never overlaps
/// itself; firings missed while the queue was busy are skipped, and the period keeps to the
/// grid set at `resume()` instead of drifting. `cancel()` never waits, so it may be called
/// (and the source destroyed) from inside the handler. Leeway is accepted but unused: the
/// timer fires as punctually as its queue allows.
class VELQO_API TimerSource {
 public:
  /// Throws std::invalid_argument for a null queue or an interval that is not positive.
  static std::unique_ptr<TimerSource> create(std::shared_ptr<DispatchQueue> queue, Duration interval,
                                             Duration leeway, Block handler);
  virtual ~TimerSource() = default;
  /// Starts the timer; later calls, and calls after `cancel()`, do nothing.
  virtual void resume() = 0;
  virtual void cancel() = 0;
  virtual bool isCancelled() const noexcept = 0;

 protected:
  TimerSource() = default;
};

}  // namespace velqo::platform
