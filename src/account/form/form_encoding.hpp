#pragma once

// The body of the token endpoint's form POST (internal).

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velqo::account::detail {

/// One key or value: ASCII letters, digits and "-._*" stand for themselves, a blank is written
/// as "+", every other byte as "%" and two upper-case hexadecimal digits. So "a b+c" gives
/// "a+b%2Bc".
std::string encodeTokenFormComponent(std::string_view text);

/// "key=value" pairs joined with "&", in the given order.
std::string encodeTokenForm(const std::vector<std::pair<std::string, std::string>>& parameters);

}  // namespace velqo::account::detail
