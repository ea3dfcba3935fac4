#include "platform/diagnostics.hpp"

#include <atomic>

namespace velqo::platform::detail {
namespace {

std::atomic<DiagnosticHandler> handler{nullptr};

}  // namespace

void setDiagnosticHandler(DiagnosticHandler next) noexcept {
  handler.store(next, std::memory_order_release);
}

void diagnosticLine(std::string_view line) noexcept {
  const DiagnosticHandler current = handler.load(std::memory_order_acquire);
  if (!current) return;
  try {
    current(line);
  } catch (...) {
    // A diagnostic line is never worth a failure of the caller.
  }
}

}  // namespace velqo::platform::detail
