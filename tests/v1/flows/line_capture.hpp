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
  /// Whether a line equals `line`, or starts with it when `prefixOnly`.
  bool has(const std::string& line, bool prefixOnly = false) const {
    for (const auto& l : lines())
      if (prefixOnly ? l.starts_with(line) : l == line) return true;
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace velqo::testing
