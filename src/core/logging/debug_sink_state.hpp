#pragma once

// Whether anybody receives diagnostic lines. Composing a line (hashing identifiers, rendering
// headers, re-serialising bodies) costs more than most of the work it describes, so every
// place that composes one asks this first and skips the whole composition when it is false.

namespace velqo::detail {

/// True while a debug sink is installed. One relaxed atomic load; a sink installed while a
/// line is being skipped simply starts with the next line.
[[nodiscard]] bool debugSinkInstalled() noexcept;

}  // namespace velqo::detail
