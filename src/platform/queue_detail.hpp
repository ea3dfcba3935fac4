#pragma once

// Building blocks shared by the queue stand-ins: a due-time ordered heap of blocks, the
// exception barrier every block runs behind, and safe waiting and joining.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "velqo/platform/queue.hpp"

namespace velqo::platform::detail {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

/// `from + delay`, treating a negative delay as zero and saturating instead of overflowing.
TimePoint dueAfter(TimePoint from, Duration delay) noexcept;
inline TimePoint dueAfter(Duration delay) noexcept {
  return dueAfter(SteadyClock::now(), delay);
}

/// Blocks ordered by due time, first come first served among equal due times. Not thread-safe:
/// its owner guards it.
class TimedHeap {
 public:
  void push(TimePoint due, Block block);
  bool empty() const noexcept { return entries_.empty(); }
  std::size_t size() const noexcept { return entries_.size(); }
  /// Due time of the next block. Precondition: not empty.
  TimePoint nextDue() const noexcept { return entries_.front().due; }
  bool hasDue(TimePoint now) const noexcept { return !entries_.empty() && entries_.front().due <= now; }
  /// Removes and returns the next block. Precondition: not empty.
  Block pop();
  /// Removes every block (in no particular order).
  std::vector<Block> takeAll();

 private:
  struct Entry {
    TimePoint due;
    std::uint64_t seq;
    Block block;
  };
  // Orders the std heap so that the earliest (due, seq) sits at the front.
  static bool later(const Entry& a, const Entry& b) noexcept {
    return a.due != b.due ? a.due > b.due : a.seq > b.seq;
  }
  std::vector<Entry> entries_;
  std::uint64_t nextSeq_ = 0;
};

/// Names the calling thread (at most 15 characters show), so the library's threads can be told
/// apart in a debugger, `top -H` or /proc. All of them are named "velqo-" + a role.
void nameCurrentThread(const char* name) noexcept;

/// Runs the block; any exception it throws is caught and dropped.
void runBlockCatching(const Block& block) noexcept;

/// Waits on `cv` until notified or `deadline`; far-away deadlines are waited for in steps so
/// that no clock conversion can overflow. Spurious returns are possible: callers re-check.
void waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, TimePoint deadline);

/// Joins the thread, or detaches it when called on that very thread (a block calling exit()).
void joinOrDetach(std::thread& thread) noexcept;

}  // namespace velqo::platform::detail
