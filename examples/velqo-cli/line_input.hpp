#pragma once

// Lines from standard input, read on a thread of their own so the main queue keeps running
// (updates, approval polls) while the user types.

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace velqo::cli {

class LineInput {
 public:
  /// Receives the next line (trimmed of surrounding white space and the line break), or
  /// nothing at end of input. Runs on the main queue.
  using Receiver = std::function<void(std::optional<std::string>)>;

  LineInput() = default;
  /// Stops and joins the reader thread.
  ~LineInput();
  LineInput(const LineInput&) = delete;
  LineInput& operator=(const LineInput&) = delete;

  /// Asks for the next line. The receiver runs on the main queue once a line (or the end of
  /// input) is there; a request made while another is pending replaces it. The reader thread
  /// starts on the first request, so a command that never asks reads nothing.
  void request(Receiver receiver);
  /// Drops a pending request; its receiver is not called.
  void cancelRequest();

 private:
  void readLoop();
  void deliver();

  std::mutex mutex_;
  std::deque<std::string> lines_;
  bool endOfInput_ = false;
  Receiver pending_;
  std::thread reader_;
  int wakeFd_ = -1;  ///< eventfd that ends the reader
};

}  // namespace velqo::cli
