#pragma once

// Diagnostic lines composed below the core layer (not installed). The core layer's debug sink
// installs itself here; until then the lines are dropped, as the sink's default does.

#include <string>
#include <string_view>
#include <vector>

namespace velqo::platform::detail {

using DiagnosticHandler = void (*)(std::string_view line);

/// Sets where platform lines go (nullptr drops them). Thread-safe.
void setDiagnosticHandler(DiagnosticHandler handler) noexcept;

/// Hands one line to the handler, if any (or to this thread's HeldLines). Never throws.
void diagnosticLine(std::string_view line) noexcept;

/// While one lives on a thread, the lines that thread writes (here and through the core layer's
/// debug log) wait, and are written when it ends. For code that holds a lock: the host's sink may
/// call back into the library and must not find the lock taken. Declare it before the lock, so it
/// ends after the lock is released.
class HeldLines {
 public:
  HeldLines() noexcept;
  ~HeldLines();
  HeldLines(const HeldLines&) = delete;
  HeldLines& operator=(const HeldLines&) = delete;

 private:
  HeldLines* outer_;
  std::vector<std::string> lines_;
  friend bool holdLine(std::string_view line) noexcept;
};

/// Keeps `line` in this thread's innermost HeldLines; false when there is none.
bool holdLine(std::string_view line) noexcept;

}  // namespace velqo::platform::detail
