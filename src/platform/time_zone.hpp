#pragma once

// Offsets from GMT of named time zones, read from the system's time zone database (not
// installed). The standard library of our minimum compiler has no time
// zone database, and switching the process's TZ variable to ask the C library is not
// thread-safe (other threads read the environment), so the compiled zone files are read here.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velqo::platform {

/// The offset from GMT, in seconds, of the IANA zone `identifier` ("Asia/Kolkata") at `when`:
/// the zone file under $TZDIR, else /usr/share/zoneinfo, is read (its transitions, then the
/// rule of its footer beyond the last transition). Nothing when the identifier is empty,
/// escapes the database directory, or names no readable, well-formed zone file.
std::optional<long> zoneOffsetSeconds(std::string_view identifier,
                                      std::chrono::system_clock::time_point when);

/// The offset from GMT, in seconds, that a POSIX TZ rule ("CET-1CEST,M3.5.0,M10.5.0/3")
/// gives at `unixSeconds`; nothing for a malformed rule.
std::optional<long> posixRuleOffsetSeconds(std::string_view rule, std::int64_t unixSeconds);

/// The offset of the process's own local time zone at `when` (the C library's view).
long processLocalOffsetSeconds(std::chrono::system_clock::time_point when);

}  // namespace velqo::platform
