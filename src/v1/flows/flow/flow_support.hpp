#pragma once

// Small pure helpers of the flow controller (internal): step labels, the dates of prompts and
// the approval poll period.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "velqo/platform/clock.hpp"
#include "velqo/platform/queue.hpp"

namespace velqo::v1::detail {

/// "second_factor" -> "Second Factor", "MFA" -> "Mfa", "" -> "": underscores become blanks,
/// empty pieces are dropped, each piece is its first character upper-cased followed by the
/// rest lower-cased (ASCII case mapping), joined with single blanks.
std::string stepLabel(std::string_view phase);

/// An internet date-time (RFC 3339), tried with fractional seconds first, then without.
/// Absent for absent, empty or unreadable text (a date without a time is unreadable).
std::optional<platform::WallClock::time_point> parseFlowDate(const std::optional<std::string>& text);

/// The period of the approval poll timer for the service's pollInterval (seconds): the
/// interval, at least one second and at most a billion seconds. The timer counts in
/// nanoseconds, which cannot hold much more than nine billion seconds: a larger interval
/// would wrap to a short period and poll the service in a tight loop.
platform::Duration approvalPollPeriod(std::int64_t pollInterval);

}  // namespace velqo::v1::detail
