// The command-line web-authentication session: the user opens the page in a browser of their
// choice and pastes the callback URL back. Reading happens on a worker thread that also watches
// an event descriptor, so cancel and destruction never wait for the user.

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <utility>

#include "platform/encoding.hpp"
#include "velqo/platform/web_auth_session.hpp"

namespace velqo::platform {
namespace {

constexpr std::size_t kMaxLineLength = 64 * 1024;

void writeToStandardError(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

struct CommandLineWebAuthenticationSession::Worker {
  enum class Wake : std::uint8_t { none, cancel, stop };

  Worker(int input, std::function<void(const std::string&)> out, std::optional<std::string> callbackScheme,
         Completion done)
      : inputFd(input),
        output(std::move(out)),
        scheme(std::move(callbackScheme)),
        completion(std::move(done)) {
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~Worker() {
    if (wakeFd >= 0) ::close(wakeFd);
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void wake(Wake reason) {
    // A stop outranks a cancel: a destroyed session reports nothing.
    std::uint8_t expected = static_cast<std::uint8_t>(Wake::none);
    if (reason == Wake::stop) {
      wakeReason.store(static_cast<std::uint8_t>(Wake::stop));
    } else {
      wakeReason.compare_exchange_strong(expected, static_cast<std::uint8_t>(reason));
    }
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof(one));
  }

  void say(const std::string& text) const {
    try {
      if (output) {
        output(text);
      } else {
        writeToStandardError(text);
      }
    } catch (...) {
      // The prompt is a courtesy; a failing output must not end the session.
    }
  }

  void finish(std::optional<std::string> url, std::optional<PlatformError> error) {
    Completion done = std::exchange(completion, nullptr);
    if (!done) return;
    try {
      done(std::move(url), std::move(error));
    } catch (...) {
      // A host completion's exception must not take the worker down.
    }
  }

  enum class ReadResult { line, end, woken };

  // Reads one line byte by byte (never consuming input beyond it).
  ReadResult readLine(std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    for (;;) {
      pollfd fds[2] = {{inputFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      int ready = ::poll(fds, 2, -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return ReadResult::end;
      }
      if (fds[1].revents != 0) return ReadResult::woken;
      if (fds[0].revents == 0) continue;
      char c = 0;
      ssize_t n = ::read(inputFd, &c, 1);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return line.empty() && !tooLong ? ReadResult::end : ReadResult::line;
      if (c == '\n') return ReadResult::line;
      if (line.size() >= kMaxLineLength) {
        tooLong = true;
        line.clear();
      } else if (!tooLong) {
        line.push_back(c);
      }
    }
  }

  bool matchesScheme(const std::string& text) const {
    if (!scheme || scheme->empty()) return true;
    const std::string prefix = toLowerAscii(*scheme) + ":";
    return toLowerAscii(text.substr(0, prefix.size())) == prefix;
  }

  void run() {
    std::string line;
    bool tooLong = false;
    for (;;) {
      ReadResult result = readLine(line, tooLong);
      if (result == ReadResult::woken) {
        if (wakeReason.load() == static_cast<std::uint8_t>(Wake::stop)) return;
        finish(std::nullopt, webAuthenticationCancelledError());
        return;
      }
      if (wakeReason.load() == static_cast<std::uint8_t>(Wake::stop)) return;
      if (result == ReadResult::end) {
        finish(std::nullopt, webAuthenticationCancelledError());
        return;
      }
      if (tooLong) {
        say("That line is too long. Paste the address the browser was sent to, or an empty line to "
            "cancel:\n");
        continue;
      }
      std::string text = trimWhitespace(line);
      if (text.empty()) {
        finish(std::nullopt, webAuthenticationCancelledError());
        return;
      }
      if (!matchesScheme(text)) {
        say("That address does not start with \"" + scheme.value_or("") +
            ":\". Paste the address the browser was sent to, or an empty line to cancel:\n");
        continue;
      }
      finish(std::move(text), std::nullopt);
      return;
    }
  }

  const int inputFd;
  int wakeFd = -1;
  const std::function<void(const std::string&)> output;
  const std::optional<std::string> scheme;
  Completion completion;  // touched by the worker thread only once it runs
  std::atomic<std::uint8_t> wakeReason{static_cast<std::uint8_t>(Wake::none)};
  std::thread thread;
};

CommandLineWebAuthenticationSession::CommandLineWebAuthenticationSession(Passkey, Options options)
    : options_(std::move(options)) {}

std::shared_ptr<CommandLineWebAuthenticationSession> CommandLineWebAuthenticationSession::create(
    Options options) {
  return std::make_shared<CommandLineWebAuthenticationSession>(Passkey{}, std::move(options));
}

CommandLineWebAuthenticationSession::~CommandLineWebAuthenticationSession() {
  std::shared_ptr<Worker> worker;
  {
    std::lock_guard lock(mutex_);
    worker = std::move(worker_);
  }
  if (!worker || !worker->thread.joinable()) return;
  if (worker->wakeReason.load() == static_cast<std::uint8_t>(Worker::Wake::cancel) ||
      worker->thread.get_id() == std::this_thread::get_id()) {
    // A cancelled session still reports its cancellation, and a session released inside its own
    // completion cannot wait for itself: the worker finishes on its own (it keeps itself alive).
    worker->thread.detach();
    return;
  }
  worker->wake(Worker::Wake::stop);
  worker->thread.join();
}

bool CommandLineWebAuthenticationSession::start(Parameters parameters, Completion completion) {
  std::lock_guard lock(mutex_);
  if (worker_) return false;
  auto worker = std::make_shared<Worker>(options_.inputFd, options_.output, parameters.callbackScheme,
                                         std::move(completion));
  if (worker->wakeFd < 0) return false;
  std::string prompt = "Open this address in a browser to sign in:\n  " + parameters.url + "\n";
  if (parameters.callbackScheme && !parameters.callbackScheme->empty()) {
    prompt += "When the browser is sent to a \"" + *parameters.callbackScheme +
              ":\" address, paste that address here (an empty line cancels):\n";
  } else {
    prompt += "Paste the address the browser is finally sent to (an empty line cancels):\n";
  }
  worker->say(prompt);
  worker_ = worker;
  // The thread keeps the worker alive on its own; the session only signals and joins it.
  worker->thread = std::thread([raw = worker.get(), keep = worker]() mutable {
    raw->run();
    keep.reset();
  });
  return true;
}

void CommandLineWebAuthenticationSession::cancel() {
  std::lock_guard lock(mutex_);
  if (worker_) worker_->wake(Worker::Wake::cancel);
}

}  // namespace velqo::platform
