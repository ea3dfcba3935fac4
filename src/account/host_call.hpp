#pragma once

// Calls into host application code from the account stack (internal).

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "velqo/core/debug_sink.hpp"

namespace velqo::account::detail {

/// Runs one host callback; an exception it throws is caught and turned into a diagnostic
/// line under `tag`, so a faulty host cannot unwind into a queue or a transport.
template <class F>
void callHost(std::string_view tag, F&& call) noexcept {
  try {
    std::forward<F>(call)();
  } catch (...) {
    try {
      std::string line(tag);
      line.append("Host callback threw an exception; ignored.");
      debugLog(line);
    } catch (...) {
    }
  }
}

}  // namespace velqo::account::detail
