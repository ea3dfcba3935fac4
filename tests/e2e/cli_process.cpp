#include "cli_process.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/test_environment.hpp"
#include "support/wait_bound.hpp"

namespace velqo::e2e {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

CliProcess::CliProcess(const std::vector<std::string>& args)
    : stderrPath_(testing::makeTempDirectory("cli-stderr") / "stderr") {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // Standard error goes to a file: it is only read as a whole, and is complete once the
  // process has ended.
  const int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (err < 0) throw std::runtime_error("cannot create " + stderrPath_.string());
  std::vector<std::string> argvStorage;
  argvStorage.emplace_back(VELQO_CLI_PATH);
  argvStorage.insert(argvStorage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStorage) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err);
  stdinFd_ = in[1];
  stdoutFd_ = out[0];
  reader_ = std::thread([this] { readLoop(); });
}

CliProcess::~CliProcess() {
  closeStdin();
  bool running;
  {
    std::lock_guard lock(mutex_);
    running = !exitStatus_.has_value();
  }
  if (running && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait(testing::kWaitBound);
  }
  if (reader_.joinable()) reader_.join();
  closeFd(stdoutFd_);
}

void CliProcess::writeLine(const std::string& line) {
  const std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size() && stdinFd_ >= 0) {
    const ssize_t n = ::write(stdinFd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

void CliProcess::closeStdin() {
  closeFd(stdinFd_);
}

void CliProcess::signal(int signal) {
  std::lock_guard lock(mutex_);
  if (pid_ > 0 && !exitStatus_) ::kill(pid_, signal);
}

void CliProcess::readLoop() {
  std::array<char, 4096> buffer{};
  for (;;) {
    const ssize_t n = ::read(stdoutFd_, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(mutex_);
    if (n > 0) out_.append(buffer.data(), static_cast<std::size_t>(n));
    outClosed_ = n <= 0;
    changed_.notify_all();
    if (outClosed_) return;
  }
}

std::optional<std::string> CliProcess::nextStdoutLine(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::optional<std::string> line;
  changed_.wait_for(lock, timeout, [&] {
    const auto end = out_.find('\n', outCursor_);
    if (end != std::string::npos) {
      line = out_.substr(outCursor_, end - outCursor_);
      outCursor_ = end + 1;
      return true;
    }
    return outClosed_;
  });
  return line;
}

int CliProcess::wait(std::chrono::milliseconds timeout) {
  {
    std::lock_guard lock(mutex_);
    if (exitStatus_) return *exitStatus_;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      std::lock_guard lock(mutex_);
      exitStatus_ = code;
      return code;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string CliProcess::stdoutText() const {
  std::unique_lock lock(mutex_);
  // Once the process has ended, everything it wrote is read before the text is handed out: the
  // pipe closes with the process, but the reader may still be behind.
  if (exitStatus_) changed_.wait_for(lock, testing::kWaitBound, [this] { return outClosed_; });
  return out_;
}

std::string CliProcess::stderrText() const {
  std::ifstream in(stderrPath_, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

CliRun runCli(const std::vector<std::string>& args, const std::string& input,
              std::chrono::milliseconds timeout) {
  CliProcess process(args);
  for (const auto& line : splitLines(input)) process.writeLine(line);
  process.closeStdin();
  CliRun run;
  run.status = process.wait(timeout);
  run.stdoutLines = splitLines(process.stdoutText());
  run.stderrText = process.stderrText();
  return run;
}

std::vector<std::string> inDataDirectory(const std::filesystem::path& dir,
                                         const std::vector<std::string>& words) {
  std::vector<std::string> args = {"--data-dir", dir.string()};
  args.insert(args.end(), words.begin(), words.end());
  return args;
}

nlohmann::json runCliForJsonLine(const std::filesystem::path& dir, const std::vector<std::string>& words) {
  const CliRun run = runCli(inDataDirectory(dir, words));
  EXPECT_EQ(run.status, 0) << run.stderrText;
  return run.stdoutLines.size() == 1 ? nlohmann::json::parse(run.stdoutLines[0], nullptr, false)
                                     : nlohmann::json();
}

}  // namespace velqo::e2e
