#include "velqo/v1/protocol/actions.hpp"

#include "v1/protocol/wire_json.hpp"
#include "velqo/platform/bytes.hpp"

namespace velqo {

namespace {

// Actions carry codes, signatures and device secrets: the intermediate document is wiped
// once the text is made (the caller owns, and wipes, the text itself).
void wipeStrings(v1::detail::OrderedJson& json) noexcept {
  if (json.is_string()) {
    wipe(json.get_ref<std::string&>());
  } else if (json.is_structured()) {
    for (auto& element : json) wipeStrings(element);
  }
}

std::string dumpWiping(v1::detail::OrderedJson json) {
  try {
    std::string text = v1::detail::dumpCompact(json);
    wipeStrings(json);
    return text;
  } catch (...) {
    wipeStrings(json);
    throw;
  }
}

}  // namespace

std::string_view flowTypeRawValue(VelqoV1FlowType type) noexcept {
  switch (type) {
    case VelqoV1FlowType::signin:
      return "signin";
    case VelqoV1FlowType::signup:
      return "signup";
    case VelqoV1FlowType::accountManage:
      return "account_manage";
  }
  return "signin";
}

std::optional<VelqoV1FlowType> flowTypeFromRawValue(std::string_view raw) noexcept {
  if (raw == "signin") return VelqoV1FlowType::signin;
  if (raw == "signup") return VelqoV1FlowType::signup;
  if (raw == "account_manage") return VelqoV1FlowType::accountManage;
  return std::nullopt;
}

VelqoV1Action VelqoV1Action::start(VelqoV1FlowType flowType, std::string identifier,
                                   std::optional<std::string> startToken,
                                   std::optional<std::string> inviteCode,
                                   std::optional<std::string> codeChallenge,
                                   std::optional<VelqoV1DeviceInfo> device,
                                   std::optional<VelqoV1DeviceCredentials> deviceCredentials) {
  return Start{flowType,
               std::move(identifier),
               std::move(startToken),
               std::move(inviteCode),
               std::move(codeChallenge),
               std::move(device),
               std::move(deviceCredentials)};
}

std::string_view VelqoV1Action::wireName() const noexcept {
  static constexpr std::string_view kNames[] = {
      "start",
      "select_method",
      "submit_code",
      "submit_totp",
      "submit_phone",
      "request_challenge",
      "submit_signature",
      "oauth_callback",
      "qr_auth_approve",
      "resend",
      "poll",
      "cancel",
  };
  static_assert(std::size(kNames) == std::variant_size_v<Payload>);
  return kNames[payload_.index()];
}

std::string encodeV1Request(const VelqoV1Request& request) {
  return dumpWiping(v1::detail::toJson(request));
}
std::string encodeV1JSON(const VelqoV1Action& action) {
  return dumpWiping(v1::detail::toJson(action));
}
std::string encodeV1JSON(const VelqoV1DeviceInfo& device) {
  return v1::detail::dumpCompact(v1::detail::toJson(device));
}
std::string encodeV1JSON(const VelqoV1DeviceCredentials& credentials) {
  return dumpWiping(v1::detail::toJson(credentials));
}
std::string encodeV1JSON(VelqoV1FlowType type) {
  return v1::detail::dumpCompact(v1::detail::OrderedJson(std::string(flowTypeRawValue(type))));
}

template <>
VelqoV1DeviceInfo decodeV1JSON<VelqoV1DeviceInfo>(std::string_view json) {
  return v1::detail::decodeDeviceInfo(v1::detail::parseJson(json), "");
}
template <>
VelqoV1DeviceCredentials decodeV1JSON<VelqoV1DeviceCredentials>(std::string_view json) {
  return v1::detail::decodeDeviceCredentials(v1::detail::parseJson(json), "");
}
template <>
VelqoV1FlowType decodeV1JSON<VelqoV1FlowType>(std::string_view json) {
  return v1::detail::decodeFlowType(v1::detail::parseJson(json), "");
}

}  // namespace velqo
