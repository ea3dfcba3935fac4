#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "velqo/export.hpp"

namespace velqo {

/// Receives every diagnostic line the library composes. The default sink discards
/// them. Lines never carry secrets beyond what the library's redaction lets through.
/// The sink may be called from any thread, concurrently; it must not call back into
/// the library.
using DebugSink = std::function<void(std::string_view line)>;

/// Installs the sink (an empty function restores the discarding default). Thread-safe.
VELQO_API void setDebugSink(DebugSink sink);

/// Hands one line to the installed sink (library components call this).
VELQO_API void debugLog(std::string_view line);

/// Writes one line to standard output, whatever the sink: for the few results that
/// are always printed.
VELQO_API void alwaysLog(std::string_view line);

/// The library's logger type with its levels. It has no operations of its own; all lines
/// go through the debug sink.
struct VELQO_API SDKLogger {
  enum class LogLevel { debug, info, warning, error };
};

}  // namespace velqo
