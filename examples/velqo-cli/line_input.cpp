#include "line_input.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <velqo/platform/queue.hpp>

#include <array>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace velqo::cli {
namespace {

std::string trimmed(std::string_view text) {
  const auto isSpace = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
  };
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

// A single line longer than this is cut (nobody types a megabyte).
constexpr std::size_t kMaxLine = 1 << 20;

}  // namespace

LineInput::~LineInput() {
  if (reader_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof(one));
    reader_.join();
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void LineInput::request(Receiver receiver) {
  {
    std::lock_guard lock(mutex_);
    pending_ = std::move(receiver);
    if (!reader_.joinable()) {
      wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
      if (wakeFd_ < 0) {
        endOfInput_ = true;  // cannot read safely: behave as if input had ended
      } else {
        reader_ = std::thread([this] { readLoop(); });
      }
    }
  }
  platform::mainQueue().async([this] { deliver(); });
}

void LineInput::cancelRequest() {
  std::lock_guard lock(mutex_);
  pending_ = nullptr;
}

void LineInput::deliver() {
  Receiver receiver;
  std::optional<std::string> line;
  {
    std::lock_guard lock(mutex_);
    if (!pending_) return;
    if (!lines_.empty()) {
      line = std::move(lines_.front());
      lines_.pop_front();
    } else if (!endOfInput_) {
      return;  // the reader calls again when a line arrives
    }
    receiver = std::move(pending_);
    pending_ = nullptr;
  }
  receiver(std::move(line));
}

void LineInput::readLoop() {
  std::string partial;
  std::array<char, 4096> buffer{};
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0) return;
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    std::vector<std::string> complete;
    bool ended = n <= 0;
    if (!ended) {
      for (ssize_t i = 0; i < n; ++i) {
        const char c = buffer[static_cast<std::size_t>(i)];
        if (c == '\n') {
          complete.push_back(trimmed(partial));
          partial.clear();
        } else if (partial.size() < kMaxLine) {
          partial.push_back(c);
        }
      }
    } else if (!partial.empty()) {
      complete.push_back(trimmed(partial));  // a last line without a line break
    }
    {
      std::lock_guard lock(mutex_);
      for (auto& line : complete) lines_.push_back(std::move(line));
      if (ended) endOfInput_ = true;
    }
    if (!complete.empty() || ended) platform::mainQueue().async([this] { deliver(); });
    if (ended) return;
  }
}

}  // namespace velqo::cli
