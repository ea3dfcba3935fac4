#pragma once

// The form body of the V1 code exchange (internal to the library).

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velqo::v1::detail {

/// The items as "name=value" pairs joined with "&", in the given order. In each name and value
/// letters, digits and "-._~!$'()*,/:;?@" stand for themselves; every other byte is
/// percent-encoded (two upper-case hexadecimal digits): the query delimiters "&" and "=", "+"
/// (which form decoders read as a blank), "#", "%", blanks, controls and every byte of a
/// non-ASCII character. Nothing when a name or value is not valid UTF-8.
std::optional<std::string> formEncode(const std::vector<std::pair<std::string, std::string>>& items);

}  // namespace velqo::v1::detail
