#include "platform/queue_detail.hpp"

#include <pthread.h>

#include <algorithm>
#include <system_error>

namespace velqo::platform::detail {

TimePoint dueAfter(TimePoint from, Duration delay) noexcept {
  if (delay <= Duration::zero()) return from;
  if (delay >= TimePoint::max() - from) return TimePoint::max();
  return from + delay;
}

void nameCurrentThread(const char* name) noexcept {
  char shortName[16] = {};
  for (std::size_t i = 0; i < sizeof shortName - 1 && name[i] != '\0'; ++i) shortName[i] = name[i];
  (void)::pthread_setname_np(::pthread_self(), shortName);
}

void TimedHeap::push(TimePoint due, Block block) {
  entries_.push_back(Entry{due, nextSeq_++, std::move(block)});
  std::push_heap(entries_.begin(), entries_.end(), later);
}

Block TimedHeap::pop() {
  std::pop_heap(entries_.begin(), entries_.end(), later);
  Block block = std::move(entries_.back().block);
  entries_.pop_back();
  return block;
}

std::vector<Block> TimedHeap::takeAll() {
  std::vector<Block> blocks;
  blocks.reserve(entries_.size());
  for (auto& entry : entries_) blocks.push_back(std::move(entry.block));
  entries_.clear();
  return blocks;
}

void runBlockCatching(const Block& block) noexcept {
  try {
    if (block) block();
  } catch (...) {
    // A block's failure is its own business; the queue carries on with the next one.
  }
}

void waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, TimePoint deadline) {
  constexpr auto kLongestStep = std::chrono::hours(1);
  const TimePoint now = SteadyClock::now();
  if (deadline <= now) return;
  if (deadline - now > kLongestStep) deadline = now + kLongestStep;
  cv.wait_until(lock, deadline);
}

void joinOrDetach(std::thread& thread) noexcept {
  if (!thread.joinable()) return;
  try {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  } catch (const std::system_error&) {
    // Nothing sensible is left to do at process exit.
  }
}

}  // namespace velqo::platform::detail
