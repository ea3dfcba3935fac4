#include "v1/flows/oauth/form_encoding.hpp"

#include "platform/encoding.hpp"

#include <string_view>

#include "v1/protocol/diagnostics.hpp"

namespace velqo::v1::detail {

namespace {

// Besides letters and digits: the query characters of a URL, less the item delimiters "&" and
// "=" and less "+", which a form decoder would turn into a blank.
constexpr std::string_view kFormValuePunctuation = "-._~!$'()*,/:;?@";

}  // namespace

std::optional<std::string> formEncode(const std::vector<std::pair<std::string, std::string>>& items) {
  std::string out;
  for (const auto& [name, value] : items) {
    if (!platform::isValidUtf8(name) || !platform::isValidUtf8(value)) return std::nullopt;
    if (!out.empty()) out.push_back('&');
    out.append(platform::percentEncode(name, kFormValuePunctuation));
    out.push_back('=');
    out.append(platform::percentEncode(value, kFormValuePunctuation));
  }
  return out;
}

}  // namespace velqo::v1::detail
