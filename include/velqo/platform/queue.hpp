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
/// cannot take a worker down.
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
class VELQO_API MainQueue : public DispatchQueue {
 public:
  /// Forwards every due block to the host's loop. The executor must run each block exactly
  /// once, serially. Set it before work is queued; pass an empty function to go back to
  /// host-driven mode.
  using Executor = std::function<void(Block)>;

  virtual void setExecutor(Executor executor) = 0;
  /// Runs blocks on the calling thread until `stop()` is called.
  virtual void runUntilStopped() = 0;
  /// Makes `runUntilStopped` return after the block that is running.
  virtual void stop() = 0;
  /// Runs every block that is due now (and those they queue that are due) and returns how
  /// many ran. Never waits.
  virtual std::size_t drain() = 0;
  /// Runs blocks on the calling thread until `condition` holds (checked before waiting and
  /// after every block) or `timeout` passes. Returns whether the condition held.
  virtual bool runUntil(const std::function<bool()>& condition, Duration timeout) = 0;
  /// True when called from inside a block the main queue is running.
  virtual bool isCurrent() const noexcept = 0;
};

/// The process's main queue. Created on first use.
VELQO_API MainQueue& mainQueue();
/// The same queue as a shared handle, for APIs that keep a callback queue.
VELQO_API std::shared_ptr<DispatchQueue> mainQueueHandle();

/// A global concurrent queue: a small shared worker pool (started on first use, stopped
/// cleanly at exit). Blocks may run in parallel on different workers.
VELQO_API std::shared_ptr<DispatchQueue> globalQueue(QualityOfService qos = QualityOfService::defaultQoS);

/// A repeating timer source on a queue: the handler first runs one interval after
/// `resume()`, then every interval, until cancelled. Destroying the source cancels it; after
/// `cancel()` returns (or the destructor finishes) the handler is not started again, though a
/// firing that had already started on another thread may still be finishing. The handler is
/// held by the source only, so a source owned by an object ends with that object.
class VELQO_API TimerSource {
 public:
  static std::unique_ptr<TimerSource> create(std::shared_ptr<DispatchQueue> queue, Duration interval,
                                             Duration leeway, Block handler);
  virtual ~TimerSource() = default;
  virtual void resume() = 0;
  virtual void cancel() = 0;
  virtual bool isCancelled() const noexcept = 0;

 protected:
  TimerSource() = default;
};

}  // namespace velqo::platform
