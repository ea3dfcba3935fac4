#pragma once

// Text encodings and small parsers shared by every layer (not installed).

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "velqo/platform/bytes.hpp"

namespace velqo::platform {

/// Standard base64 with "=" padding.
std::string base64Encode(const Bytes& data);
std::string base64Encode(std::string_view data);
/// Strict standard base64: the length must be a multiple of four, padding is required,
/// and any character outside the alphabet (whitespace included) fails. Non-zero bits below
/// the last whole byte of a padded group ("Zh==") are ignored, not refused. Empty text gives
/// no bytes.
[[nodiscard]] std::optional<Bytes> base64Decode(std::string_view text);
/// URL-safe base64 without padding (JWT segments). Accepts input with or without padding;
/// any other character fails.
std::string base64UrlEncode(const Bytes& data);
[[nodiscard]] std::optional<Bytes> base64UrlDecode(std::string_view text);

/// Lower-case hexadecimal, two digits per byte, no separator.
std::string hexEncode(const Bytes& data);
/// Pairs of hexadecimal digits (either case); nothing for an odd length or a non-hex digit.
[[nodiscard]] std::optional<Bytes> hexDecode(std::string_view text);

/// How percentEncode writes a blank.
enum class BlankEncoding {
  percent,  ///< "%20", like every other byte outside the kept set
  plus,     ///< "+", as HTML forms write it
};

/// Percent-encoding byte by byte: ASCII letters, digits and the bytes of `keptPunctuation` stand
/// for themselves; every other byte becomes "%" and two upper-case hexadecimal digits. A blank
/// is written as `blanks` says, even when `keptPunctuation` holds one. Each caller passes the
/// set its format allows (a path segment, a form value); a NUL byte is never kept.
std::string percentEncode(std::string_view text, std::string_view keptPunctuation,
                          BlankEncoding blanks = BlankEncoding::percent);

/// RFC 3339 / ISO 8601 internet date-time, "2024-01-02T03:04:05Z" or with a numeric
/// offset, with or without fractional seconds. `withFractionalSeconds` selects which of
/// the two forms is accepted (the other form fails), matching a parser configured for one.
/// "T" and "Z" must be upper case; the offset is "+HH:MM" or "-HH:MM"; leap seconds (":60")
/// fail; fraction digits beyond nanoseconds are dropped. Dates beyond the clock's range
/// (after 2262 or before 1677) saturate to its latest or earliest time point.
[[nodiscard]] std::optional<std::chrono::system_clock::time_point> parseInternetDateTime(
    std::string_view text, bool withFractionalSeconds);
/// Formats as "YYYY-MM-DDTHH:MM:SSZ" (UTC).
std::string formatInternetDateTime(std::chrono::system_clock::time_point time);

/// A random (version 4) UUID in upper-case canonical form.
std::string makeUuid();

/// The text without the Unicode white space and newlines at either end (the White_Space
/// property: tab to carriage return, space, NEL, no-break space, ideographic space, line and
/// paragraph separators, ...). The library's one trim of white space and line breaks (only
/// HTTP header lines keep the protocol's space-and-tab rule). Bytes that are not valid UTF-8
/// are never trimmed.
[[nodiscard]] std::string trimWhitespace(std::string_view text);
/// ASCII lower-casing.
std::string toLowerAscii(std::string_view text);

/// True when the bytes are valid UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
[[nodiscard]] bool isValidUtf8(std::string_view bytes) noexcept;

}  // namespace velqo::platform
