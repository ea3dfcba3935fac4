#include "platform/diagnostics.hpp"

#include <atomic>

namespace velqo::platform::detail {
namespace {

std::atomic<DiagnosticHandler> handler{nullptr};
thread_local HeldLines* innermost = nullptr;

}  // namespace

void setDiagnosticHandler(DiagnosticHandler next) noexcept {
  handler.store(next, std::memory_order_release);
}

void diagnosticLine(std::string_view line) noexcept {
  if (holdLine(line)) return;
  const DiagnosticHandler current = handler.load(std::memory_order_acquire);
  if (!current) return;
  try {
    current(line);
  } catch (...) {
    // A diagnostic line is never worth a failure of the caller.
  }
}

HeldLines::HeldLines() noexcept : outer_(innermost) {
  innermost = this;
}

HeldLines::~HeldLines() {
  innermost = outer_;
  for (const std::string& line : lines_) diagnosticLine(line);
}

bool holdLine(std::string_view line) noexcept {
  if (innermost == nullptr) return false;
  try {
    innermost->lines_.emplace_back(line);
  } catch (...) {
    // Out of memory: the line is dropped rather than written under the caller's lock.
  }
  return true;
}

}  // namespace velqo::platform::detail
