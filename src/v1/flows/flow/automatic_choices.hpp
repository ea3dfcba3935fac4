#pragma once

// The flow controller's automatic answers to select_method and setup_sms prompts in the
// primary step of a sign-in, and the identifier classification beneath them (internal).
// Pure decisions: they send, emit and change nothing.

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "velqo/v1/flows/flow_update.hpp"
#include "velqo/v1/protocol/actions.hpp"
#include "velqo/v1/protocol/flow_state.hpp"
#include "velqo/v1/protocol/response.hpp"

namespace velqo::v1::detail {

enum class IdentifierKind { email, phone, other };

/// What the decisions read of the controller.
struct AutomaticChoiceInputs {
  VelqoV1PrimaryMethodSelectionPolicy policy = VelqoV1PrimaryMethodSelectionPolicy::manual;
  std::optional<VelqoV1FlowType> flowType;
  /// Already trimmed by the controller's start.
  std::optional<std::string> identifier;
  /// Sessions whose setup_sms prompt was already answered automatically (may be null: none).
  const std::set<std::string>* autoSubmittedSetupSmsSessions = nullptr;
  /// Sessions whose select_method prompt was already answered automatically (may be null).
  const std::set<std::string>* autoSelectedMethodSessions = nullptr;
};

/// e-mail when the trimmed text fully matches local@domain.tld (ASCII letters, digits and
/// "._%+-" before the "@", letters, digits, "." and "-" after it, a final label of 2 to 64
/// letters); else phone when isLikelyPhoneNumber; else other (also for an empty text).
IdentifierKind identifierKind(std::string_view text);

/// At least 7 digits, only "+-() .0123456789", and at least 8 digits when it starts with "+".
bool isLikelyPhoneNumber(std::string_view text);

/// True without step information, or when its trimmed, lower-cased id is empty or "primary".
bool isPrimaryPhase(const VelqoV1PromptContext& context);

/// The method a primary-step select_method prompt of a sign-in is answered with under the
/// policy automaticFromIdentifier: for an e-mail identifier the first id containing "email",
/// else the first containing "magic"; for a phone identifier the first containing "sms" or
/// "phone" (ids compared lower-cased, returned as sent). Once per session: a service that
/// answers with select_method again gets the prompt shown, not the same choice re-sent.
std::optional<std::string> autoSelectPrimaryMethod(const AutomaticChoiceInputs& inputs,
                                                   const std::vector<VelqoV1Method>& methods,
                                                   const std::string& session,
                                                   const VelqoV1PromptContext& context);

/// The number a primary-step setup_sms prompt of a sign-in is answered with: the trimmed
/// phone identifier, once per session, only when the prompt names no existing phone.
std::optional<std::string> autoSubmitSetupSmsPhone(const AutomaticChoiceInputs& inputs,
                                                   const std::optional<std::string>& existingPhone,
                                                   const std::string& session,
                                                   const VelqoV1PromptContext& context);

}  // namespace velqo::v1::detail
