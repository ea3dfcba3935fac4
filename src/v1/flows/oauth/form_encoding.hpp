#pragma once

// The form body of the V1 code exchange (internal to the library).

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velqo::v1::detail {

/// Whether a byte stands for itself in a form name or value: letters, digits and
/// "-._~!$'()*,/:;?@". Everything else is percent-encoded: the query delimiters "&" and "=",
/// "+" (which form decoders read as a blank), "#", "%", blanks, controls and every byte of a
/// non-ASCII character.
bool isFormValueCharacter(unsigned char c) noexcept;

/// The items as "name=value" pairs joined with "&", in the given order, each name and value
/// percent-encoded byte by byte (two upper-case hexadecimal digits) outside the set above.
/// Nothing when a name or value is not valid UTF-8.
std::optional<std::string> formEncode(const std::vector<std::pair<std::string, std::string>>& items);

}  // namespace velqo::v1::detail
