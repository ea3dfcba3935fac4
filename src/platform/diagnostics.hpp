#pragma once

// Diagnostic lines composed below the core layer (not installed). The core layer's debug sink
// installs itself here; until then the lines are dropped, as the sink's default does.

#include <string_view>

namespace velqo::platform::detail {

using DiagnosticHandler = void (*)(std::string_view line);

/// Sets where platform lines go (nullptr drops them). Thread-safe.
void setDiagnosticHandler(DiagnosticHandler handler) noexcept;

/// Hands one line to the handler, if any. Never throws.
void diagnosticLine(std::string_view line) noexcept;

}  // namespace velqo::platform::detail
