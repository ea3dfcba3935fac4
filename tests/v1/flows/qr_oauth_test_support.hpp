#pragma once

// QR approval and OAuth test helpers: a completion catcher and an earlier-answers probe.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "v1/flows/line_capture.hpp"
#include "velqo/platform/http.hpp"
#include "velqo_localservice/local_service.hpp"

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
  std::optional<R> wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
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

/// Sends a request the service answers after `delay` and waits for it: every answer that
/// arrived before has then been completed on `session`'s (serial) completion thread.
inline bool probeAfterEarlierAnswers(localservice::LocalService& service, platform::HttpSession& session,
                                     std::chrono::milliseconds delay = std::chrono::milliseconds(800)) {
  service.route("GET", "/probe", [delay](const localservice::RecordedRequest&) {
    localservice::Reply reply = localservice::Reply::json(200, "{}");
    reply.delay = delay;
    return reply;
  });
  Catcher<bool> probe;
  auto done = probe.callback();
  session.dataTask(platform::HttpRequest{service.baseUrl() + "/probe", "GET", {}, {}, 5.0},
                   [done](auto, auto, auto) { done(true); });
  return probe.wait().has_value();
}

}  // namespace velqo::testing
