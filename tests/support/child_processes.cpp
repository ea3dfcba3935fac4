#include "support/child_processes.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace velqo::testing {
namespace {

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

pid_t forkChild(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    try {
      body();
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(0);
  }
  return pid;
}

std::vector<std::optional<std::string>> runInChildProcesses(int count,
                                                            const std::function<std::string(int)>& body) {
  int start[2];
  if (::pipe(start) != 0) throw std::runtime_error("pipe failed");
  struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string text;
    bool open = true;
  };
  std::vector<Child> children(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      ::close(start[1]);
      ::close(out[0]);
      char byte;
      while (::read(start[0], &byte, 1) > 0) {
      }  // released when the parent closes its end
      try {
        writeAll(out[1], body(i));
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    ::close(out[1]);
    children[static_cast<std::size_t>(i)].pid = pid;
    children[static_cast<std::size_t>(i)].out = out[0];
  }
  ::close(start[0]);
  ::close(start[1]);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (auto& child : children) {
    while (child.open && std::chrono::steady_clock::now() < deadline) {
      pollfd p{child.out, POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(child.out, buffer, sizeof buffer);
      if (n > 0) {
        child.text.append(buffer, static_cast<std::size_t>(n));
      } else {
        child.open = false;
      }
    }
    ::close(child.out);
  }
  std::vector<std::optional<std::string>> results;
  for (auto& child : children) {
    if (child.open) ::kill(child.pid, SIGKILL);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    const bool ok = !child.open && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    results.push_back(ok ? std::optional<std::string>(child.text) : std::nullopt);
  }
  return results;
}

}  // namespace velqo::testing
