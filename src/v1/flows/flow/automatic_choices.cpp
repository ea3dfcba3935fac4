#include "v1/flows/flow/automatic_choices.hpp"

#include <algorithm>
#include <cstddef>

#include "platform/encoding.hpp"

namespace velqo::v1::detail {

namespace {

bool isAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isLocalPartCharacter(char c) {
  return isAsciiLetter(c) || isAsciiDigit(c) || c == '.' || c == '_' || c == '%' || c == '+' || c == '-';
}
bool isDomainCharacter(char c) {
  return isAsciiLetter(c) || isAsciiDigit(c) || c == '.' || c == '-';
}

// A full match of [A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,64}. Neither class holds "@",
// so the text splits at its only "@"; the final label holds no ".", so it follows the last
// "." of the domain. Written out by hand: a backtracking regex engine recurses per character
// and a long host-supplied identifier could exhaust the stack.
bool isEmailAddress(std::string_view text) {
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos || at == 0) return false;
  const std::string_view local = text.substr(0, at);
  const std::string_view domain = text.substr(at + 1);
  if (!std::all_of(local.begin(), local.end(), isLocalPartCharacter)) return false;
  if (!std::all_of(domain.begin(), domain.end(), isDomainCharacter)) return false;
  const std::size_t dot = domain.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  const std::string_view label = domain.substr(dot + 1);
  return label.size() >= 2 && label.size() <= 64 && std::all_of(label.begin(), label.end(), isAsciiLetter);
}

bool containsText(const std::string& haystack, std::string_view needle) {
  return platform::toLowerAscii(haystack).find(needle) != std::string::npos;
}

}  // namespace

IdentifierKind identifierKind(std::string_view text) {
  const std::string trimmed = platform::trimWhitespace(text);
  if (trimmed.empty()) return IdentifierKind::other;
  if (isEmailAddress(trimmed)) return IdentifierKind::email;
  return isLikelyPhoneNumber(trimmed) ? IdentifierKind::phone : IdentifierKind::other;
}

bool isLikelyPhoneNumber(std::string_view text) {
  const std::string trimmed = platform::trimWhitespace(text);
  if (trimmed.empty()) return false;
  // Digits outside ASCII would count as numbers but fail the character check below, so
  // counting ASCII digits gives the same answer.
  const auto digits = std::count_if(trimmed.begin(), trimmed.end(), isAsciiDigit);
  if (digits < 7) return false;
  constexpr std::string_view allowed = "+-() .0123456789";
  // Bytes of non-ASCII characters are never in the allowed set.
  if (!std::all_of(trimmed.begin(), trimmed.end(),
                   [&](char c) { return allowed.find(c) != std::string_view::npos; })) {
    return false;
  }
  if (trimmed.front() != '+') return true;
  return digits > 7;
}

bool isPrimaryPhase(const VelqoV1PromptContext& context) {
  if (!context.stepInfo()) return true;
  const std::string id = platform::toLowerAscii(platform::trimWhitespace(context.stepInfo()->id));
  return id.empty() || id == "primary";
}

std::optional<std::string> autoSelectPrimaryMethod(const AutomaticChoiceInputs& inputs,
                                                   const std::vector<VelqoV1Method>& methods,
                                                   const std::string& session,
                                                   const VelqoV1PromptContext& context) {
  if (inputs.policy != VelqoV1PrimaryMethodSelectionPolicy::automaticFromIdentifier) return std::nullopt;
  if (inputs.autoSelectedMethodSessions && inputs.autoSelectedMethodSessions->count(session) != 0) {
    return std::nullopt;
  }
  if (inputs.flowType != VelqoV1FlowType::signin) return std::nullopt;
  if (!isPrimaryPhase(context)) return std::nullopt;
  if (!inputs.identifier) return std::nullopt;

  switch (identifierKind(*inputs.identifier)) {
    case IdentifierKind::email:
      for (const VelqoV1Method& method : methods) {
        if (containsText(method.id, "email")) return method.id;
      }
      for (const VelqoV1Method& method : methods) {
        if (containsText(method.id, "magic")) return method.id;
      }
      return std::nullopt;
    case IdentifierKind::phone:
      for (const VelqoV1Method& method : methods) {
        if (containsText(method.id, "sms") || containsText(method.id, "phone")) return method.id;
      }
      return std::nullopt;
    case IdentifierKind::other:
      break;
  }
  return std::nullopt;
}

std::optional<std::string> autoSubmitSetupSmsPhone(const AutomaticChoiceInputs& inputs,
                                                   const std::optional<std::string>& existingPhone,
                                                   const std::string& session,
                                                   const VelqoV1PromptContext& context) {
  if (inputs.flowType != VelqoV1FlowType::signin) return std::nullopt;
  if (!isPrimaryPhase(context)) return std::nullopt;
  if (inputs.autoSubmittedSetupSmsSessions && inputs.autoSubmittedSetupSmsSessions->count(session) != 0) {
    return std::nullopt;
  }
  if (existingPhone && !platform::trimWhitespace(*existingPhone).empty()) return std::nullopt;
  if (!inputs.identifier) return std::nullopt;
  std::string trimmed = platform::trimWhitespace(*inputs.identifier);
  if (trimmed.empty() || identifierKind(trimmed) != IdentifierKind::phone) return std::nullopt;
  return trimmed;
}

}  // namespace velqo::v1::detail
