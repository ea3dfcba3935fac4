#pragma once

// The one reader of JSON text that comes from outside the process (service answers, stored
// records, token parts, scanned codes). Every decoder of outside input parses through it, so
// all of them share one nesting limit and one notion of "not JSON".

#include <cstddef>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velqo::json {

/// Objects and arrays nested deeper than this are refused before parsing; no record needs
/// more than a handful of levels, and the limit keeps hostile input from exhausting the stack.
inline constexpr std::size_t maxNestingDepth = 128;

/// True when objects and arrays in the JSON text nest deeper than `limit` (brackets inside
/// strings do not count). A cheap pre-scan that runs before any parser sees hostile input.
[[nodiscard]] bool nestsDeeperThan(std::string_view text, std::size_t limit) noexcept;

/// The parsed document, or nothing when the text is not JSON (malformed, trailing bytes,
/// invalid UTF-8, a number beyond a double) or nests deeper than `maxNestingDepth`. Any
/// top-level value is accepted. Throws only std::bad_alloc.
[[nodiscard]] std::optional<nlohmann::json> readJson(std::string_view text);

/// The same, keeping object keys in the order the text lists them.
[[nodiscard]] std::optional<nlohmann::ordered_json> readOrderedJson(std::string_view text);

}  // namespace velqo::json
