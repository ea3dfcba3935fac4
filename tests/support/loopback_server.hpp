#pragma once

// Loopback servers on 127.0.0.1 (ephemeral port, RAII). Header-only so the benchmarks can use
// LoopbackServer without the test support library.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/wait_bound.hpp"

namespace velqo::testing {

/// A one-shot latch: `wait` blocks until `open` (or until the timeout, returning false).
class Gate {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  bool wait(std::chrono::milliseconds timeout = kWaitBound) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

/// A cpp-httplib server on 127.0.0.1 (ephemeral port), listening from construction until
/// destruction. `setup` registers the handlers before the server starts. TCP_NODELAY is on
/// and keep-alive allows many requests per connection (idle ones close after a second). Handlers that block
/// must be released before the server is destroyed (stopping waits for running handlers).
class LoopbackServer {
 public:
  using Setup = std::function<void(httplib::Server&)>;

  explicit LoopbackServer(const Setup& setup) : LoopbackServer(std::make_unique<httplib::Server>(), setup) {}

  /// For a TLS server (httplib::SSLServer), whose URLs use "https".
  LoopbackServer(std::unique_ptr<httplib::Server> server, const Setup& setup, bool tls = false)
      : server_(std::move(server)), scheme_(tls ? "https" : "http") {
    server_->set_tcp_nodelay(true);
    server_->set_keep_alive_max_count(100000);
    // Stopping waits for idle kept-alive connections to time out (a client such as the
    // process-wide HTTP session may keep one open): keep that wait short.
    server_->set_keep_alive_timeout(1);
    if (setup) setup(*server_);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("LoopbackServer: cannot bind 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  ~LoopbackServer() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }

  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  /// scheme://127.0.0.1:port + path ("/echo").
  std::string url(std::string_view path = "") const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + std::string(path);
  }
  httplib::Server& server() { return *server_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::string scheme_;
  int port_ = -1;
  std::thread thread_;
};

}  // namespace velqo::testing
