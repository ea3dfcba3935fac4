#include "velqo/v1/protocol/response.hpp"

#include "v1/protocol/wire_json.hpp"

namespace velqo {

VelqoV1ErrorAction VelqoV1ErrorAction::fromProtocolActionType(std::string_view text) {
  if (text == "retry_input") return retryInput();
  if (text == "restart_flow" || text == "start") return restartFlow();
  if (text == "wait") return wait();
  if (text == "retry_request") return retryRequest();
  if (text == "abort" || text == "cancel") return abort();
  if (text == "resend_code" || text == "resend") return resendCode();
  if (text == "select_method") return selectMethod();
  return unknown(std::string(text));
}

std::string VelqoV1ErrorAction::wireValue() const {
  switch (case_) {
    case Case::unknown:
      return raw_;
    case Case::retryInput:
      return "retry_input";
    case Case::restartFlow:
      return "restart_flow";
    case Case::wait:
      return "wait";
    case Case::retryRequest:
      return "retry_request";
    case Case::abort:
      return "abort";
    case Case::resendCode:
      return "resend_code";
    case Case::selectMethod:
      return "select_method";
  }
  return raw_;
}

std::string VelqoV1ErrorAction::caseDescription() const {
  switch (case_) {
    case Case::unknown:
      return "unknown(\"" + raw_ + "\")";
    case Case::retryInput:
      return "retryInput";
    case Case::restartFlow:
      return "restartFlow";
    case Case::wait:
      return "wait";
    case Case::retryRequest:
      return "retryRequest";
    case Case::abort:
      return "abort";
    case Case::resendCode:
      return "resendCode";
    case Case::selectMethod:
      return "selectMethod";
  }
  return "unknown";
}

std::string_view VelqoV1Prompt::wireName() const noexcept {
  static constexpr std::string_view kNames[] = {
      "select_method", "enter_code",       "setup_totp", "setup_sms", "redirect", "await_approval",
      "setup_device",  "device_challenge", "completed",  "error",     "",         "enter_totp",
  };
  static_assert(std::size(kNames) == std::variant_size_v<Payload>);
  if (const auto* unknown = as<Unknown>()) return unknown->type;
  return kNames[payload_.index()];
}

VelqoV1Response decodeV1Response(std::string_view body) {
  return v1::detail::decodeResponse(v1::detail::parseJson(body));
}

template <>
VelqoV1Response decodeV1JSON<VelqoV1Response>(std::string_view json) {
  return decodeV1Response(json);
}
template <>
VelqoV1Prompt decodeV1JSON<VelqoV1Prompt>(std::string_view json) {
  return v1::detail::decodePrompt(v1::detail::parseJson(json), "");
}
template <>
VelqoV1PromptMetadata decodeV1JSON<VelqoV1PromptMetadata>(std::string_view json) {
  return v1::detail::decodePromptMetadata(v1::detail::parseJson(json), "");
}
template <>
VelqoV1ErrorDetails decodeV1JSON<VelqoV1ErrorDetails>(std::string_view json) {
  return v1::detail::decodeErrorDetails(v1::detail::parseJson(json), "");
}
template <>
VelqoV1ErrorAction decodeV1JSON<VelqoV1ErrorAction>(std::string_view json) {
  return v1::detail::decodeErrorAction(v1::detail::parseJson(json));
}
template <>
VelqoV1Method decodeV1JSON<VelqoV1Method>(std::string_view json) {
  return v1::detail::decodeMethod(v1::detail::parseJson(json), "");
}
template <>
VelqoV1FieldError decodeV1JSON<VelqoV1FieldError>(std::string_view json) {
  return v1::detail::decodeFieldError(v1::detail::parseJson(json), "");
}
template <>
VelqoV1StepInfo decodeV1JSON<VelqoV1StepInfo>(std::string_view json) {
  return v1::detail::decodeStepInfo(v1::detail::parseJson(json), "");
}
template <>
VelqoV1RiskInfo decodeV1JSON<VelqoV1RiskInfo>(std::string_view json) {
  return v1::detail::decodeRiskInfo(v1::detail::parseJson(json), "");
}
template <>
VelqoV1ResponseMeta decodeV1JSON<VelqoV1ResponseMeta>(std::string_view json) {
  return v1::detail::decodeResponseMeta(v1::detail::parseJson(json), "");
}

std::string encodeV1JSON(const VelqoV1Method& method) {
  return v1::detail::dumpCompact(v1::detail::toJson(method));
}
std::string encodeV1JSON(const VelqoV1ErrorAction& action) {
  return v1::detail::dumpCompact(v1::detail::toJson(action));
}
std::string encodeV1JSON(const VelqoV1ErrorDetails& details) {
  return v1::detail::dumpCompact(v1::detail::toJson(details));
}
std::string encodeV1JSON(const VelqoV1FieldError& error) {
  return v1::detail::dumpCompact(v1::detail::toJson(error));
}
std::string encodeV1JSON(const VelqoV1JSONValue& value) {
  return value.toJSONText();
}

}  // namespace velqo
