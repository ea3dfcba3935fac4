#include "velqo/core/debug_sink.hpp"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "core/logging/debug_sink_state.hpp"
#include "platform/diagnostics.hpp"

namespace velqo {
namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

// The sink is swapped as a whole; readers copy the shared pointer under the lock and
// call it outside the lock, so a sink may be replaced while another thread logs.
std::shared_ptr<const DebugSink>& sinkSlot() {
  static std::shared_ptr<const DebugSink> slot;
  return slot;
}

std::atomic<bool> installed{false};  // mirrors sinkSlot() != nullptr, written under sinkMutex()

}  // namespace

namespace detail {
bool debugSinkInstalled() noexcept {
  return installed.load(std::memory_order_relaxed);
}
}  // namespace detail

void setDebugSink(DebugSink sink) {
  std::shared_ptr<const DebugSink> next = sink ? std::make_shared<const DebugSink>(std::move(sink)) : nullptr;
  std::lock_guard lock(sinkMutex());
  installed.store(next != nullptr, std::memory_order_relaxed);
  // The platform layer's lines (user defaults, say) reach the same sink.
  platform::detail::setDiagnosticHandler(next ? &debugLog : nullptr);
  sinkSlot() = std::move(next);
}

void debugLog(std::string_view line) {
  if (!detail::debugSinkInstalled()) return;
  if (platform::detail::holdLine(line)) return;  // written when the caller's HeldLines ends
  std::shared_ptr<const DebugSink> sink;
  {
    std::lock_guard lock(sinkMutex());
    sink = sinkSlot();
  }
  if (!sink) return;
  try {
    (*sink)(line);
  } catch (...) {
    // A faulty sink must not break the library's work.
  }
}

void alwaysLog(std::string_view line) {
  static std::mutex outMutex;
  std::lock_guard lock(outMutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace velqo
