#pragma once

// Helpers of the QR approval and OAuth tests: a completion catcher that remembers the thread it
// was called on and how often.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/http.hpp"

namespace velqo::testing {

/// Catches the results of one completion. `callback()` may be called from any thread.
template <class R>
class Catcher {
 public:
  explicit Catcher(std::shared_ptr<platform::HttpSession> session = nullptr) : session_(std::move(session)) {}

  auto callback() {
    return [this](const R& result) {
      std::lock_guard lock(mutex_);
      ++calls_;
      result_.emplace(result);
      callerThread_ = std::this_thread::get_id();
      onCompletionThread_ = session_ && session_->isCompletionThread();
      cv_.notify_all();
    };
  }
  /// The first result, waiting up to `timeout` for it.
  std::optional<R> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [this] { return result_.has_value(); });
    return result_;
  }
  int calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  bool onCompletionThread() const {
    std::lock_guard lock(mutex_);
    return onCompletionThread_;
  }
  std::thread::id callerThread() const {
    std::lock_guard lock(mutex_);
    return callerThread_;
  }

 private:
  std::shared_ptr<platform::HttpSession> session_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<R> result_;
  int calls_ = 0;
  std::thread::id callerThread_;
  bool onCompletionThread_ = false;
};

/// Keeps every diagnostic line while it lives.
class LineCapture {
 public:
  LineCapture() {
    setDebugSink([this](std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
    });
  }
  ~LineCapture() { setDebugSink({}); }
  LineCapture(const LineCapture&) = delete;
  LineCapture& operator=(const LineCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool has(const std::string& line) const {
    for (const auto& l : lines()) {
      if (l == line) return true;
    }
    return false;
  }
  bool hasPrefix(const std::string& prefix) const {
    for (const auto& l : lines()) {
      if (l.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace velqo::testing
