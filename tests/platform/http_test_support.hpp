#pragma once

// Helpers shared by the HTTP session tests: capture a data task's outcome and wait for it.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "velqo/platform/http.hpp"

namespace velqo::platform::testing {

struct Outcome {
  std::optional<std::string> body;
  std::optional<HttpResponse> response;
  std::optional<PlatformError> error;
  bool onCompletionThread = false;
};

/// Records every call of one completion. The state is shared with the callback, so the
/// recorder may go away before a dropped completion is destroyed.
class Recorder {
 public:
  DataTaskCompletion callback(const std::shared_ptr<HttpSession>& session) {
    return [state = state_, weak = std::weak_ptr<HttpSession>(session)](std::optional<std::string> body,
                                                                        std::optional<HttpResponse> response,
                                                                        std::optional<PlatformError> error) {
      const auto owner = weak.lock();
      std::lock_guard lock(state->mutex);
      if (++state->calls == 1) {
        state->outcome = Outcome{std::move(body), std::move(response), std::move(error),
                                 owner && owner->isCompletionThread()};
      }
      state->cv.notify_all();
    };
  }

  /// Waits for the first call (at most 30 s) and returns its outcome.
  Outcome wait() {
    std::unique_lock lock(state_->mutex);
    const bool called =
        state_->cv.wait_for(lock, std::chrono::seconds(30), [this] { return state_->calls > 0; });
    EXPECT_TRUE(called) << "completion not called";
    return state_->outcome;
  }

  int calls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    int calls = 0;
    Outcome outcome;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

/// Runs one data task and waits for its completion.
inline Outcome perform(const std::shared_ptr<HttpSession>& session, HttpRequest request) {
  Recorder recorder;
  session->dataTask(std::move(request), recorder.callback(session));
  return recorder.wait();
}

inline HttpRequest makeRequest(std::string url, std::string method = "GET", std::string body = {},
                               HeaderList headers = {}, double timeoutSeconds = 10.0) {
  HttpRequest request;
  request.url = std::move(url);
  request.method = std::move(method);
  request.body = std::move(body);
  request.headers = std::move(headers);
  request.timeoutSeconds = timeoutSeconds;
  return request;
}

}  // namespace velqo::platform::testing
