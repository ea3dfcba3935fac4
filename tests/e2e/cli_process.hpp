#pragma once

// Runs the velqo-cli binary as a child process with pipes on its standard input and output (and
// its standard error in a file), so end-to-end tests can talk to it line by line the way a
// script does.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/wait_bound.hpp"

namespace velqo::e2e {

class CliProcess {
 public:
  /// Starts velqo-cli with `args` (program name excluded). Throws std::runtime_error when it
  /// cannot be started.
  explicit CliProcess(const std::vector<std::string>& args);
  /// Kills the child (SIGKILL to its own pid) when it still runs, and reaps it.
  ~CliProcess();
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  void writeLine(const std::string& line);
  void closeStdin();
  /// Sends `signal` to the child while it runs (SIGTERM to stop a foreground service).
  void signal(int signal);

  /// The next complete line of standard output, or nothing when none comes in time (or the
  /// output ended).
  std::optional<std::string> nextStdoutLine(std::chrono::milliseconds timeout = testing::kWaitBound);
  /// Waits for the exit and returns the exit status (-1 on time-out or a signal).
  int wait(std::chrono::milliseconds timeout = testing::kWaitBound);

  /// Everything written so far; once the process has ended (see `wait`), everything it wrote.
  std::string stdoutText() const;
  std::string stderrText() const;

 private:
  void readLoop();

  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  std::filesystem::path stderrPath_;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string out_;
  std::size_t outCursor_ = 0;
  bool outClosed_ = false;
  std::optional<int> exitStatus_;
};

/// A finished run: exit status and the output, split into lines.
struct CliRun {
  int status = -1;
  std::vector<std::string> stdoutLines;
  std::string stderrText;
};

/// Runs velqo-cli to its end with `input` on standard input (closed afterwards).
CliRun runCli(const std::vector<std::string>& args, const std::string& input = {},
              std::chrono::milliseconds timeout = testing::kWaitBound);

/// "--data-dir" `dir`, then `words`: the arguments of a run on that data directory.
std::vector<std::string> inDataDirectory(const std::filesystem::path& dir,
                                         const std::vector<std::string>& words);

/// Runs velqo-cli on the data directory, expects exit status 0 and returns its one line of
/// standard output as JSON (null when it printed another number of lines).
nlohmann::json runCliForJsonLine(const std::filesystem::path& dir, const std::vector<std::string>& words);

}  // namespace velqo::e2e
