#pragma once

// Identifier normalisation: the one routine every key, hash and header derived from a user
// identifier goes through, so "Élodie@example.com " and "élodie@example.com" name the same
// user everywhere.

#include <string>
#include <string_view>

namespace velqo::platform {

/// trimWhitespace (encoding.hpp), then Unicode default (locale-independent, full) lower-casing.
/// Ill-formed UTF-8 sequences pass through unchanged.
[[nodiscard]] std::string normalizedIdentifier(std::string_view identifier);

}  // namespace velqo::platform
