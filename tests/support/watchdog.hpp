#pragma once

// A watchdog for a step that could hang (a lock waiting on another lock, a child process that
// never exits): when the step has not finished within the bound, the test program prints what
// hung and exits at once with a failure, so a hang fails the run instead of stalling CI.

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "support/wait_bound.hpp"

namespace velqo::testing {

class Watchdog {
 public:
  explicit Watchdog(std::string what, std::chrono::seconds bound = kWaitBound)
      : what_(std::move(what)), thread_([this, bound] { watch(bound); }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  void watch(std::chrono::seconds bound) {
    std::unique_lock lock(mutex_);
    if (done_cv_.wait_for(lock, bound, [this] { return done_; })) return;
    std::fprintf(stderr, "watchdog: %s did not finish within %lld s (a hang)\n", what_.c_str(),
                 static_cast<long long>(bound.count()));
    std::fflush(stderr);
    std::_Exit(3);
  }

  std::string what_;
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

/// Runs `step` under a watchdog: returns when it returns, or ends the test program when it
/// hangs. The bound is for one step that could hang, not for a loop of many: put loops of
/// many processes under one watchdog a round, or give them a bound of their own.
template <class Step>
void runWithWatchdog(const std::string& what, Step&& step, std::chrono::seconds bound = kWaitBound) {
  Watchdog watchdog(what, bound);
  std::forward<Step>(step)();
}

}  // namespace velqo::testing
