#pragma once

// Identifier normalisation: the one routine every key, hash and header derived from a user
// identifier goes through, so "Élodie@example.com " and "élodie@example.com" name the same
// user everywhere.

#include <string>
#include <string_view>

namespace velqo::platform {

/// The text without the Unicode white space and newlines (the White_Space property: tab,
/// line feed, no-break space, ideographic space, line separator, ...) at either end. Bytes
/// that are not valid UTF-8 are never trimmed.
[[nodiscard]] std::string trimUnicodeWhitespace(std::string_view text);

/// trimUnicodeWhitespace, then Unicode default (locale-independent, full) lower-casing.
/// Ill-formed UTF-8 sequences pass through unchanged.
[[nodiscard]] std::string normalizedIdentifier(std::string_view identifier);

}  // namespace velqo::platform
