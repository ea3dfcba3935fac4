#pragma once

// The body of the token endpoint's form POST (internal).

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velqo::account::detail {

/// Whether a byte stands for itself in a form key or value: ASCII letters, digits and "-._*".
/// A blank is kept too, then written as "+"; everything else is percent-encoded.
bool isTokenFormCharacter(unsigned char c) noexcept;

/// One key or value: each byte outside the set above as "%" and two upper-case hexadecimal
/// digits, then every blank as "+". So "a b+c" gives "a+b%2Bc".
std::string encodeTokenFormComponent(std::string_view text);

/// "key=value" pairs joined with "&", in the given order.
std::string encodeTokenForm(const std::vector<std::pair<std::string, std::string>>& parameters);

}  // namespace velqo::account::detail
