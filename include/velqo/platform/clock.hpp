#pragma once

#include <chrono>
#include <functional>

#include "velqo/export.hpp"

namespace velqo::platform {

using WallClock = std::chrono::system_clock;

/// "Now" for every expiry rule of the library (approval expiry, resend gates, pending
/// registrations, record timestamps). Reads the system clock unless a test has set an
/// override. Thread-safe.
VELQO_API WallClock::time_point now();
/// Seconds since 1970-01-01 00:00 UTC, with fraction, of `now()`.
VELQO_API double nowSecondsSince1970();

/// Replaces the clock (tests). An empty function restores the system clock.
VELQO_API void setClockOverride(std::function<WallClock::time_point()> clock);

}  // namespace velqo::platform
