#pragma once

// Helpers shared by the platform tests: threads, waiting, file modes, and capturing a data
// task's outcome.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_server.hpp"
#include "support/wait_bound.hpp"
#include "velqo/platform/http.hpp"

namespace velqo::testing {

/// Runs `body(0)` ... `body(threads - 1)` on as many threads and joins them.
inline void inParallel(int threads, const std::function<void(int)>& body) {
  std::vector<std::thread> all;
  for (int t = 0; t < threads; ++t) all.emplace_back(body, t);
  for (auto& thread : all) thread.join();
}

/// Polls `condition` every millisecond for up to `bound`, without driving the main queue.
inline bool eventually(const std::function<bool()>& condition, std::chrono::seconds bound = kWaitBound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline unsigned modeOf(const std::filesystem::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

struct Outcome {
  std::optional<std::string> body;
  std::optional<platform::HttpResponse> response;
  std::optional<platform::PlatformError> error;
  bool onCompletionThread = false;
};

/// Records every call of one completion. The state is shared with the callback, so the
/// recorder may go away before a dropped completion is destroyed.
class Recorder {
 public:
  platform::DataTaskCompletion callback(const std::shared_ptr<platform::HttpSession>& session) {
    return [state = state_, weak = std::weak_ptr<platform::HttpSession>(session)](auto body, auto response,
                                                                                  auto error) {
      const auto owner = weak.lock();
      std::lock_guard lock(state->mutex);
      if (++state->calls == 1) {
        state->outcome = {std::move(body), std::move(response), std::move(error),
                          owner && owner->isCompletionThread()};
      }
      state->cv.notify_all();
    };
  }

  /// Waits for the first call (at most kWaitBound) and returns its outcome.
  Outcome wait() {
    std::unique_lock lock(state_->mutex);
    EXPECT_TRUE(state_->cv.wait_for(lock, kWaitBound, [this] { return state_->calls > 0; }))
        << "completion not called";
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

inline platform::HttpRequest makeRequest(std::string url, std::string method = "GET", std::string body = {},
                                         platform::HeaderList headers = {}, double timeoutSeconds = 10.0) {
  return {std::move(url), std::move(method), std::move(headers), std::move(body), timeoutSeconds};
}

/// Runs one data task and waits for its completion.
inline Outcome perform(const std::shared_ptr<platform::HttpSession>& session, std::string url,
                       std::string method = "GET", std::string body = {}, platform::HeaderList headers = {}) {
  Recorder recorder;
  session->dataTask(makeRequest(std::move(url), std::move(method), std::move(body), std::move(headers)),
                    recorder.callback(session));
  return recorder.wait();
}

/// A loopback server for data tasks: POST /echo answers with the request body, GET
/// /status/<n> with that status, GET /port records the client port, and /held waits until the
/// test opens `held_` (or 10 s pass).
class HttpServerTest : public ::testing::Test {
 protected:
  void TearDown() override { held_.open(); }
  platform::HttpRequest echo(std::string body = "{}") {
    return makeRequest(server_.url("/echo"), "POST", std::move(body));
  }

  Gate held_;
  std::atomic<int> heldArrived_{0};
  std::mutex mutex_;
  std::set<int> ports_;
  LoopbackServer server_{[this](httplib::Server& s) {
    s.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.body, "application/octet-stream");
    });
    s.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      res.status = std::stoi(req.matches[1]);
      if (res.status == 302) res.set_header("Location", "/echo");
      if (res.status != 204) res.set_content("status " + std::string(req.matches[1]), "text/plain");
    });
    s.Get("/port", [this](const httplib::Request& req, httplib::Response&) {
      std::lock_guard lock(mutex_);
      ports_.insert(req.remote_port);
    });
    const auto held = [this](const httplib::Request&, httplib::Response&) {
      ++heldArrived_;
      held_.wait(std::chrono::seconds(10));
    };
    s.Get("/held", held);
    s.Post("/held", held);
  }};
};

}  // namespace velqo::testing
