#pragma once

// Small pure helpers of the flow controller (internal): step labels and the dates of
// prompts.

#include <optional>
#include <string>
#include <string_view>

#include "velqo/platform/clock.hpp"

namespace velqo::v1::detail {

/// "second_factor" -> "Second Factor", "MFA" -> "Mfa", "" -> "": underscores become blanks,
/// empty pieces are dropped, each piece is its first character upper-cased followed by the
/// rest lower-cased (ASCII case mapping), joined with single blanks.
std::string stepLabel(std::string_view phase);

/// An internet date-time (RFC 3339), tried with fractional seconds first, then without.
/// Absent for absent, empty or unreadable text (a date without a time is unreadable).
std::optional<platform::WallClock::time_point> parseFlowDate(const std::optional<std::string>& text);

}  // namespace velqo::v1::detail
