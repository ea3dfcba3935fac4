#include "account/form/form_encoding.hpp"

#include "platform/encoding.hpp"

namespace velqo::account::detail {

namespace {

// Differs from the V1 code exchange's form rule, which leaves "~!$'()/:;?@," unescaped and
// escapes blanks as "%20": the token endpoint form keeps only "-._*" and sends blanks as "+".
constexpr std::string_view kTokenFormPunctuation = "-._*";

}  // namespace

std::string encodeTokenFormComponent(std::string_view text) {
  return platform::percentEncode(text, kTokenFormPunctuation, platform::BlankEncoding::plus);
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
