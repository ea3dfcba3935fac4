#include "account/form/form_encoding.hpp"

namespace velqo::account::detail {

// Differs from the V1 code exchange's form rule, which leaves "~!$'()/:;?@," unescaped and
// escapes blanks as "%20": the token endpoint form keeps only "-._*" and sends blanks as "+".
bool isTokenFormCharacter(unsigned char c) noexcept {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return c == '-' || c == '.' || c == '_' || c == '*' || c == ' ';
}

std::string encodeTokenFormComponent(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ' ') {
      out.push_back('+');
    } else if (isTokenFormCharacter(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kDigits[c >> 4]);
      out.push_back(kDigits[c & 0x0F]);
    }
  }
  return out;
}

std::string encodeTokenForm(const std::vector<std::pair<std::string, std::string>>& parameters) {
  std::string out;
  for (const auto& [key, value] : parameters) {
    if (!out.empty()) out.push_back('&');
    out.append(encodeTokenFormComponent(key)).push_back('=');
    out.append(encodeTokenFormComponent(value));
  }
  return out;
}

}  // namespace velqo::account::detail
