#pragma once

// Listens on a fixed 127.0.0.1 port and relays every connection to another local port: lets
// `local-service --port N` offer the reference service (which binds an ephemeral port) on
// the port the user asked for.

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace velqo::cli {

class PortForwarder {
 public:
  /// Binds 127.0.0.1:`listenPort` and starts relaying to 127.0.0.1:`targetPort`. Throws
  /// std::runtime_error when the port cannot be bound.
  PortForwarder(std::uint16_t listenPort, std::uint16_t targetPort);
  /// Stops accepting, ends every relayed connection and joins all threads.
  ~PortForwarder();
  PortForwarder(const PortForwarder&) = delete;
  PortForwarder& operator=(const PortForwarder&) = delete;

 private:
  void acceptLoop();
  void relay(int client, std::atomic<bool>& done);

  std::uint16_t targetPort_;
  int listenFd_ = -1;
  int stopFd_ = -1;  ///< eventfd: wakes every waiting thread when the forwarder stops
  std::thread acceptor_;
  std::mutex mutex_;
  struct Relay {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Relay> relays_;  ///< finished ones are joined when the next connection comes
};

}  // namespace velqo::cli
