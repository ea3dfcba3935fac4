#include "v1/flows/oauth/form_encoding.hpp"

#include "platform/encoding.hpp"

#include <string_view>

#include "v1/protocol/diagnostics.hpp"

namespace velqo::v1::detail {

bool isFormValueCharacter(unsigned char c) noexcept {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  // The query characters of a URL, less the item delimiters "&" and "=" and less "+", which a
  // form decoder would turn into a blank.
  return c != '\0' &&
         std::string_view("-._~!$'()*,/:;?@").find(static_cast<char>(c)) != std::string_view::npos;
}

namespace {

void appendEncoded(std::string& out, std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (isFormValueCharacter(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kDigits[c >> 4]);
      out.push_back(kDigits[c & 0x0F]);
    }
  }
}

}  // namespace

std::optional<std::string> formEncode(const std::vector<std::pair<std::string, std::string>>& items) {
  std::string out;
  for (const auto& [name, value] : items) {
    if (!platform::isValidUtf8(name) || !platform::isValidUtf8(value)) return std::nullopt;
    if (!out.empty()) out.push_back('&');
    appendEncoded(out, name);
    out.push_back('=');
    appendEncoded(out, value);
  }
  return out;
}

}  // namespace velqo::v1::detail
