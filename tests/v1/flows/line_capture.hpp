#pragma once

// Keeps every diagnostic line written while it lives (the flows tests' debug sink).

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "velqo/core/debug_sink.hpp"

namespace velqo::testing {

class LineCapture {
 public:
  LineCapture() {
    setDebugSink([this](std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
    });
  }
  ~LineCapture() { setDebugSink({}); }
  LineCapture(const LineCapture&) = delete;
  LineCapture& operator=(const LineCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  /// The lines equal to `line`, or starting with it when `prefixOnly`.
  std::size_t count(const std::string& line, bool prefixOnly = false) const {
    std::size_t n = 0;
    for (const auto& l : lines()) n += (prefixOnly ? l.rfind(line, 0) == 0 : l == line) ? 1 : 0;
    return n;
  }
  bool has(const std::string& line, bool prefixOnly = false) const { return count(line, prefixOnly) > 0; }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace velqo::testing
