#include "v1/protocol/wire_json.hpp"

#include "core/json/json_reader.hpp"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace velqo::v1::detail {

namespace {

using Error = VelqoV1JSONCodingError;

std::string join(std::string_view path, std::string_view key) {
  if (path.empty()) return std::string(key);
  std::string out(path);
  out += '.';
  out += key;
  return out;
}

std::string jsonTypeName(const Json& value) {
  return value.type_name();
}

// ---- Reading helpers -------------------------------------------------------------------

void requireObject(const Json& json, std::string_view path) {
  if (json.is_null())
    throw Error::valueNotFound("Expected an object at \"" + std::string(path) + "\" but found null");
  if (!json.is_object()) {
    throw Error::typeMismatch("Expected an object at \"" + std::string(path) + "\" but found " +
                              jsonTypeName(json));
  }
}

/// The member, or nullptr when the key is missing. `json` must be an object.
const Json* member(const Json& json, std::string_view key) {
  auto it = json.find(key);
  return it == json.end() ? nullptr : &*it;
}

/// The member when present and not null.
const Json* presentMember(const Json& json, std::string_view key) {
  const Json* value = member(json, key);
  return value == nullptr || value->is_null() ? nullptr : value;
}

[[noreturn]] void throwMismatch(std::string_view path, std::string_view expected, const Json& found) {
  throw Error::typeMismatch("Expected " + std::string(expected) + " at \"" + std::string(path) +
                            "\" but found " + jsonTypeName(found));
}

const Json& requireMember(const Json& json, std::string_view key, std::string_view path) {
  const Json* value = member(json, key);
  if (value == nullptr) throw Error::keyNotFound(join(path, key));
  if (value->is_null())
    throw Error::valueNotFound("Expected a value at \"" + join(path, key) + "\" but found null");
  return *value;
}

std::string stringOrThrow(const Json& value, std::string_view path) {
  if (!value.is_string()) throwMismatch(path, "a string", value);
  return value.get_ref<const std::string&>();
}

std::int64_t intOrThrow(const Json& value, std::string_view path) {
  auto result = integerValue(value);
  if (!result) throwMismatch(path, "an integer", value);
  return *result;
}

double doubleOrThrow(const Json& value, std::string_view path) {
  if (!value.is_number()) throwMismatch(path, "a number", value);
  return value.get<double>();
}

bool boolOrThrow(const Json& value, std::string_view path) {
  if (!value.is_boolean()) throwMismatch(path, "a boolean", value);
  return value.get<bool>();
}

std::string requireString(const Json& json, std::string_view key, std::string_view path) {
  return stringOrThrow(requireMember(json, key, path), join(path, key));
}
std::int64_t requireInt(const Json& json, std::string_view key, std::string_view path) {
  return intOrThrow(requireMember(json, key, path), join(path, key));
}
bool requireBool(const Json& json, std::string_view key, std::string_view path) {
  return boolOrThrow(requireMember(json, key, path), join(path, key));
}

// Optional: absent or null gives nothing; a value of another type throws.
std::optional<std::string> optionalString(const Json& json, std::string_view key, std::string_view path) {
  const Json* value = presentMember(json, key);
  if (value == nullptr) return std::nullopt;
  return stringOrThrow(*value, join(path, key));
}
std::optional<std::int64_t> optionalInt(const Json& json, std::string_view key, std::string_view path) {
  const Json* value = presentMember(json, key);
  if (value == nullptr) return std::nullopt;
  return intOrThrow(*value, join(path, key));
}
std::optional<double> optionalDouble(const Json& json, std::string_view key, std::string_view path) {
  const Json* value = presentMember(json, key);
  if (value == nullptr) return std::nullopt;
  return doubleOrThrow(*value, join(path, key));
}

// Defaulted: anything unreadable gives the default.
std::string defaultedString(const Json& json, std::string_view key, std::string_view fallback) {
  const Json* value = member(json, key);
  if (value != nullptr && value->is_string()) return value->get_ref<const std::string&>();
  return std::string(fallback);
}
std::int64_t defaultedInt(const Json& json, std::string_view key, std::int64_t fallback) {
  const Json* value = member(json, key);
  if (value == nullptr) return fallback;
  return integerValue(*value).value_or(fallback);
}
bool defaultedBool(const Json& json, std::string_view key, bool fallback) {
  const Json* value = member(json, key);
  if (value != nullptr && value->is_boolean()) return value->get<bool>();
  return fallback;
}

// Tolerant optional: anything unreadable gives nothing.
std::optional<std::string> tolerantString(const Json& json, std::string_view key) {
  const Json* value = member(json, key);
  if (value != nullptr && value->is_string()) return value->get_ref<const std::string&>();
  return std::nullopt;
}
std::optional<std::int64_t> tolerantInt(const Json& json, std::string_view key) {
  const Json* value = member(json, key);
  if (value == nullptr) return std::nullopt;
  return integerValue(*value);
}

OrderedJson numberJson(double value) {
  if (!std::isfinite(value)) throw Error::invalidValue("Unable to encode a non-finite number in JSON");
  constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53
  if (std::trunc(value) == value && std::fabs(value) <= kExactIntegerLimit) {
    return OrderedJson(static_cast<std::int64_t>(value));
  }
  return OrderedJson(value);
}

// ---- Prompt cases ----------------------------------------------------------------------

std::vector<VelqoV1Method> defaultedMethods(const Json& json, std::string_view path) {
  const Json* value = member(json, "methods");
  if (value == nullptr || !value->is_array()) return {};
  std::vector<VelqoV1Method> methods;
  methods.reserve(value->size());
  try {
    for (const Json& element : *value) methods.push_back(decodeMethod(element, join(path, "methods")));
  } catch (const Error&) {
    return {};  // one unreadable element empties the whole list
  }
  return methods;
}

VelqoV1Prompt::Error decodeErrorPrompt(const Json& json) {
  VelqoV1Prompt::Error error;
  error.code = defaultedString(json, "code", "unknown_error");
  error.message = defaultedString(json, "message", "Unknown error");
  error.retryable = defaultedBool(json, "retryable", false);

  std::optional<VelqoV1ErrorAction> action;
  if (const Json* value = presentMember(json, "action")) action = decodeErrorAction(*value);
  if (!action) {
    const Json* retryAction = member(json, "retryAction");
    if (retryAction != nullptr && retryAction->is_object()) {
      const Json* type = member(*retryAction, "type");
      if (type != nullptr && type->is_string()) {
        action = VelqoV1ErrorAction::fromProtocolActionType(type->get_ref<const std::string&>());
      }
    }
  }

  std::optional<VelqoV1ErrorDetails> serverDetails;
  if (const Json* value = presentMember(json, "details")) {
    try {
      serverDetails = decodeErrorDetails(*value, "details");
    } catch (const Error&) {
      serverDetails.reset();  // unreadable details are dropped whole
    }
  }

  VelqoV1ErrorDetails merged;
  merged.retryAfterSeconds = tolerantInt(json, "retryAfter");
  merged.retryAt = tolerantString(json, "retryAt");
  merged.attemptsRemaining = tolerantInt(json, "attemptsRemaining");
  if (serverDetails) {
    if (!merged.retryAfterSeconds) merged.retryAfterSeconds = serverDetails->retryAfterSeconds;
    if (!merged.retryAt) merged.retryAt = serverDetails->retryAt;
    if (!merged.attemptsRemaining) merged.attemptsRemaining = serverDetails->attemptsRemaining;
    merged.errors = std::move(serverDetails->errors);
  }
  if (!merged.isEmpty()) error.details = std::move(merged);

  if (!action && error.retryable && error.details &&
      (error.details->retryAfterSeconds.has_value() || error.details->retryAt.has_value())) {
    action = VelqoV1ErrorAction::wait();
  }
  error.action = action.value_or(VelqoV1ErrorAction::unknown("unknown"));
  return error;
}

}  // namespace

// ---- Parsing -----------------------------------------------------------------------------

std::optional<Json> tryParseJson(std::string_view text) {
  return ::velqo::json::readJson(text);
}

Json parseJson(std::string_view text) {
  if (::velqo::json::nestsDeeperThan(text, ::velqo::json::maxNestingDepth)) {
    throw Error::dataCorrupted("The given data nests arrays and objects more than " +
                               std::to_string(::velqo::json::maxNestingDepth) + " levels deep");
  }
  auto json = tryParseJson(text);
  if (!json) throw Error::dataCorrupted("The given data was not valid JSON");
  return std::move(*json);
}

std::string dumpCompact(const OrderedJson& json) {
  try {
    return json.dump();
  } catch (const nlohmann::json::exception& e) {
    throw Error::invalidValue(std::string("Unable to encode the value as JSON: ") + e.what());
  }
}

std::optional<std::int64_t> integerValue(const Json& value) noexcept {
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    double d = value.get<double>();
    // [-2^63, 2^63): every double in this range converts exactly.
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
      return static_cast<std::int64_t>(d);
    }
  }
  return std::nullopt;
}

// ---- Encoders ----------------------------------------------------------------------------

OrderedJson toJson(const VelqoV1JSONValue& value) {
  switch (value.kind()) {
    case VelqoV1JSONValue::Kind::string:
      return OrderedJson(*value.stringValue());
    case VelqoV1JSONValue::Kind::number:
      return numberJson(*value.numberValue());
    case VelqoV1JSONValue::Kind::boolean:
      return OrderedJson(*value.boolValue());
    case VelqoV1JSONValue::Kind::object:
      return toJson(*value.objectValue());
    case VelqoV1JSONValue::Kind::array: {
      OrderedJson out = OrderedJson::array();
      for (const auto& element : *value.arrayValue()) out.push_back(toJson(element));
      return out;
    }
    case VelqoV1JSONValue::Kind::null:
      break;
  }
  return OrderedJson(nullptr);
}

OrderedJson toJson(const VelqoV1JSONObject& object) {
  OrderedJson out = OrderedJson::object();
  for (const auto& [key, member] : object) out[key] = toJson(member);  // a repeated key keeps its last value
  return out;
}

OrderedJson toJson(const VelqoV1DeviceInfo& device) {
  OrderedJson out = OrderedJson::object();
  out["v"] = device.v;
  out["fingerprint"] = device.fingerprint;
  if (device.signals) out["signals"] = toJson(*device.signals);
  return out;
}

OrderedJson toJson(const VelqoV1DeviceCredentials& credentials) {
  OrderedJson out = OrderedJson::object();
  out["keyset"] = credentials.keyset;
  out["hindex"] = credentials.hindex;
  out["sk2"] = credentials.sk2;
  return out;
}

OrderedJson toJson(const VelqoV1Action& action) {
  OrderedJson out = OrderedJson::object();
  out["type"] = std::string(action.wireName());
  std::visit(
      [&out](const auto& payload) {
        using T = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<T, VelqoV1Action::Start>) {
          out["flowType"] = std::string(flowTypeRawValue(payload.flowType));
          out["identifier"] = payload.identifier;
          if (payload.startToken) out["startToken"] = *payload.startToken;
          if (payload.inviteCode) out["inviteCode"] = *payload.inviteCode;
          if (payload.codeChallenge) out["codeChallenge"] = *payload.codeChallenge;
          if (payload.device) out["device"] = toJson(*payload.device);
          if (payload.deviceCredentials) out["deviceCredentials"] = toJson(*payload.deviceCredentials);
        } else if constexpr (std::is_same_v<T, VelqoV1Action::SelectMethod>) {
          out["methodId"] = payload.methodId;
        } else if constexpr (std::is_same_v<T, VelqoV1Action::SubmitCode> ||
                             std::is_same_v<T, VelqoV1Action::SubmitTotp>) {
          out["code"] = payload.code;
        } else if constexpr (std::is_same_v<T, VelqoV1Action::SubmitPhone>) {
          out["phone"] = payload.phone;
        } else if constexpr (std::is_same_v<T, VelqoV1Action::RequestChallenge>) {
          out["keyset"] = payload.keyset;
          out["hindex"] = payload.hindex;
          out["sk2"] = payload.sk2;
        } else if constexpr (std::is_same_v<T, VelqoV1Action::SubmitSignature>) {
          out["keyId"] = payload.keyId;
          out["signature"] = payload.signature;
          out["mapp"] = payload.mapp;
        } else if constexpr (std::is_same_v<T, VelqoV1Action::OAuthCallback>) {
          out["code"] = payload.code;
          out["state"] = payload.state;
        } else if constexpr (std::is_same_v<T, VelqoV1Action::QrAuthApprove>) {
          out["h2index"] = payload.h2index;
          out["signature"] = payload.signature;
          out["sk2"] = payload.sk2;
          out["rememberDevice"] = payload.rememberDevice;
          out["phoneActionToken"] = payload.phoneActionToken;
        }
        // resend, poll and cancel carry "type" alone.
      },
      action.payload());
  return out;
}

OrderedJson toJson(const VelqoV1Request& request) {
  OrderedJson out = OrderedJson::object();
  out["protocolVersion"] = request.protocolVersion;
  if (request.session) out["session"] = *request.session;
  out["action"] = toJson(request.action);
  return out;
}

OrderedJson toJson(const VelqoV1Method& method) {
  OrderedJson out = OrderedJson::object();
  out["id"] = method.id;
  out["label"] = method.label;
  if (method.icon) out["icon"] = *method.icon;
  return out;
}

OrderedJson toJson(const VelqoV1ErrorAction& action) {
  return OrderedJson(action.wireValue());
}

OrderedJson toJson(const VelqoV1FieldError& error) {
  OrderedJson out = OrderedJson::object();
  out["field"] = error.field;
  out["message"] = error.message;
  return out;
}

OrderedJson toJson(const VelqoV1ErrorDetails& details) {
  OrderedJson out = OrderedJson::object();
  if (details.retryAfterSeconds) out["retry_after_seconds"] = *details.retryAfterSeconds;
  if (details.retryAt) out["retryAt"] = *details.retryAt;
  if (details.attemptsRemaining) out["attemptsRemaining"] = *details.attemptsRemaining;
  if (details.errors) {
    OrderedJson errors = OrderedJson::array();
    for (const auto& error : *details.errors) errors.push_back(toJson(error));
    out["errors"] = std::move(errors);
  }
  return out;
}

// ---- Decoders ----------------------------------------------------------------------------

VelqoV1JSONValue jsonValueFrom(const Json& json) {
  switch (json.type()) {
    case Json::value_t::boolean:
      return VelqoV1JSONValue::boolean(json.get<bool>());
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return VelqoV1JSONValue::number(json.get<double>());
    case Json::value_t::string:
      return VelqoV1JSONValue::string(json.get_ref<const std::string&>());
    case Json::value_t::object: {
      VelqoV1JSONObject object;
      for (const auto& [key, value] : json.items()) object.set(key, jsonValueFrom(value));
      return VelqoV1JSONValue::object(std::move(object));
    }
    case Json::value_t::array: {
      VelqoV1JSONArray array;
      array.reserve(json.size());
      for (const Json& element : json) array.push_back(jsonValueFrom(element));
      return VelqoV1JSONValue::array(std::move(array));
    }
    default:
      return VelqoV1JSONValue::null();
  }
}

VelqoV1DeviceInfo decodeDeviceInfo(const Json& json, std::string_view path) {
  requireObject(json, path);
  VelqoV1DeviceInfo device;
  device.v = requireInt(json, "v", path);
  device.fingerprint = requireString(json, "fingerprint", path);
  if (const Json* signals = presentMember(json, "signals")) {
    if (!signals->is_object()) throwMismatch(join(path, "signals"), "an object", *signals);
    device.signals = *jsonValueFrom(*signals).objectValue();
  }
  return device;
}

VelqoV1DeviceCredentials decodeDeviceCredentials(const Json& json, std::string_view path) {
  requireObject(json, path);
  VelqoV1DeviceCredentials credentials;
  credentials.keyset = requireString(json, "keyset", path);
  credentials.hindex = requireString(json, "hindex", path);
  credentials.sk2 = requireString(json, "sk2", path);
  return credentials;
}

VelqoV1FlowType decodeFlowType(const Json& json, std::string_view path) {
  if (json.is_null())
    throw Error::valueNotFound("Expected a flow type at \"" + std::string(path) + "\" but found null");
  std::string raw = stringOrThrow(json, path);
  auto type = flowTypeFromRawValue(raw);
  if (!type) throw Error::dataCorrupted("Cannot initialize VelqoV1FlowType from invalid String value " + raw);
  return *type;
}

VelqoV1Method decodeMethod(const Json& json, std::string_view path) {
  requireObject(json, path);
  VelqoV1Method method;
  method.id = requireString(json, "id", path);
  method.label = requireString(json, "label", path);
  method.icon = optionalString(json, "icon", path);
  return method;
}

VelqoV1FieldError decodeFieldError(const Json& json, std::string_view path) {
  requireObject(json, path);
  return VelqoV1FieldError{requireString(json, "field", path), requireString(json, "message", path)};
}

VelqoV1ErrorDetails decodeErrorDetails(const Json& json, std::string_view path) {
  requireObject(json, path);
  VelqoV1ErrorDetails details;
  auto snake = optionalInt(json, "retry_after_seconds", path);
  auto camel = optionalInt(json, "retryAfterSeconds", path);
  details.retryAfterSeconds = snake ? snake : camel;
  details.retryAt = optionalString(json, "retryAt", path);
  details.attemptsRemaining = optionalInt(json, "attemptsRemaining", path);
  if (const Json* errors = presentMember(json, "errors")) {
    std::string errorsPath = join(path, "errors");
    if (!errors->is_array()) throwMismatch(errorsPath, "an array", *errors);
    std::vector<VelqoV1FieldError> list;
    list.reserve(errors->size());
    for (const Json& element : *errors) list.push_back(decodeFieldError(element, errorsPath));
    details.errors = std::move(list);
  }
  return details;
}

VelqoV1ErrorAction decodeErrorAction(const Json& json) {
  if (!json.is_string()) return VelqoV1ErrorAction::unknown("unknown");
  return VelqoV1ErrorAction::fromProtocolActionType(json.get_ref<const std::string&>());
}

VelqoV1StepInfo decodeStepInfo(const Json& json, std::string_view path) {
  requireObject(json, path);
  VelqoV1StepInfo step;
  step.id = requireString(json, "id", path);
  step.label = optionalString(json, "label", path);
  return step;
}

VelqoV1RiskInfo decodeRiskInfo(const Json& json, std::string_view path) {
  requireObject(json, path);
  VelqoV1RiskInfo risk;
  risk.detected = requireBool(json, "detected", path);
  const Json& reasons = requireMember(json, "reasons", path);
  std::string reasonsPath = join(path, "reasons");
  if (!reasons.is_array()) throwMismatch(reasonsPath, "an array", reasons);
  risk.reasons.reserve(reasons.size());
  for (const Json& reason : reasons) risk.reasons.push_back(stringOrThrow(reason, reasonsPath));
  risk.message = optionalString(json, "message", path);
  if (const Json* location = presentMember(json, "location")) {
    std::string locationPath = join(path, "location");
    requireObject(*location, locationPath);
    risk.location = VelqoV1RiskLocation{optionalString(*location, "city", locationPath),
                                        optionalString(*location, "country", locationPath)};
  }
  risk.riskScore = optionalDouble(json, "risk_score", path);
  return risk;
}

VelqoV1PromptMetadata decodePromptMetadata(const Json& json, std::string_view path) {
  requireObject(json, path);
  VelqoV1PromptMetadata meta;
  std::optional<VelqoV1StepInfo> camel;
  std::optional<VelqoV1StepInfo> snake;
  if (const Json* value = presentMember(json, "stepInfo"))
    camel = decodeStepInfo(*value, join(path, "stepInfo"));
  if (const Json* value = presentMember(json, "step_info"))
    snake = decodeStepInfo(*value, join(path, "step_info"));
  meta.stepInfo = camel ? std::move(camel) : std::move(snake);
  if (const Json* value = presentMember(json, "risk")) meta.risk = decodeRiskInfo(*value, join(path, "risk"));
  meta.codeChannel = optionalString(json, "channel", path);
  return meta;
}

VelqoV1ResponseMeta decodeResponseMeta(const Json& json, std::string_view path) {
  requireObject(json, path);
  return VelqoV1ResponseMeta{requireString(json, "traceId", path), requireString(json, "expiresAt", path)};
}

VelqoV1Prompt decodePrompt(const Json& json, std::string_view path) {
  requireObject(json, path);
  const std::string type = requireString(json, "type", path);

  if (type == "select_method") {
    VelqoV1Prompt::SelectMethod p;
    p.methods = defaultedMethods(json, path);
    p.phase = optionalString(json, "phase", path);
    return p;
  }
  if (type == "enter_code") {
    VelqoV1Prompt::EnterCode p;
    p.destination = defaultedString(json, "destination", "");
    p.codeLength = optionalInt(json, "codeLength", path);
    p.codeFormat = optionalString(json, "codeFormat", path);
    p.codeExpiresAt = optionalString(json, "codeExpiresAt", path);
    p.resendAt = optionalString(json, "resendAt", path);
    return p;
  }
  if (type == "enter_totp") return VelqoV1Prompt::EnterTotp{};
  if (type == "setup_totp") {
    VelqoV1Prompt::SetupTotp p;
    p.secret = defaultedString(json, "secret", "");
    p.otpauthUrl = defaultedString(json, "otpauthUrl", "");
    p.period = optionalInt(json, "period", path);
    return p;
  }
  if (type == "setup_sms") return VelqoV1Prompt::SetupSms{optionalString(json, "existingPhone", path)};
  if (type == "redirect") {
    VelqoV1Prompt::Redirect p;
    p.url = defaultedString(json, "url", "");
    p.returnScheme = optionalString(json, "returnScheme", path);
    return p;
  }
  if (type == "await_approval") {
    VelqoV1Prompt::AwaitApproval p;
    p.qrData = optionalString(json, "qrData", path);
    p.expiresAt = defaultedString(json, "expiresAt", "");
    p.pollInterval = defaultedInt(json, "pollInterval", 2);
    return p;
  }
  if (type == "setup_device") {
    return VelqoV1Prompt::SetupDevice{defaultedString(json, "domain", ""),
                                      defaultedString(json, "algorithm", ""),
                                      defaultedString(json, "version", "")};
  }
  if (type == "device_challenge") {
    VelqoV1Prompt::DeviceChallenge p;
    p.challenge = defaultedString(json, "challenge", "");
    p.challengeEncoding = defaultedString(json, "challengeEncoding", "base64");
    p.keyId = defaultedString(json, "keyId", "");
    p.algorithm = defaultedString(json, "algorithm", "");
    p.domain = defaultedString(json, "domain", "");
    p.combinedsalt = defaultedString(json, "combinedsalt", "");
    p.responseEncoding = defaultedString(json, "responseEncoding", "base64");
    return p;
  }
  if (type == "completed") {
    VelqoV1Prompt::Completed p;
    p.authCode = defaultedString(json, "authCode", "");
    p.expiresAt = defaultedString(json, "expiresAt", "");
    p.codeVerifier = optionalString(json, "codeVerifier", path);
    return p;
  }
  if (type == "error") return decodeErrorPrompt(json);
  return VelqoV1Prompt::Unknown{type};
}

VelqoV1Response decodeResponse(const Json& json) {
  requireObject(json, "");
  std::int64_t protocolVersion = requireInt(json, "protocolVersion", "");
  std::string session = requireString(json, "session", "");

  auto promptUnder = [&json](std::string_view key) -> VelqoV1Prompt {
    const Json* value = member(json, key);
    if (value == nullptr) throw Error::keyNotFound(std::string(key));
    return decodePrompt(*value, key);
  };
  std::optional<VelqoV1Prompt> prompt;
  try {
    prompt = promptUnder("prompt");
  } catch (const Error&) {
    prompt = promptUnder("step");  // the error of this second attempt is the response's
  }

  const Json* meta = member(json, "meta");
  if (meta == nullptr) throw Error::keyNotFound("meta");
  VelqoV1ResponseMeta responseMeta = decodeResponseMeta(*meta, "meta");

  auto metadataUnder = [&json](std::string_view key) -> std::optional<VelqoV1PromptMetadata> {
    const Json* value = member(json, key);
    if (value == nullptr) return std::nullopt;
    try {
      return decodePromptMetadata(*value, key);
    } catch (const Error&) {
      return std::nullopt;
    }
  };
  std::optional<VelqoV1PromptMetadata> promptMeta = metadataUnder("prompt");
  if (!promptMeta) promptMeta = metadataUnder("step");
  if (promptMeta && promptMeta->isEmpty()) promptMeta.reset();

  return VelqoV1Response{protocolVersion, std::move(session), std::move(*prompt), std::move(responseMeta),
                         std::move(promptMeta)};
}

}  // namespace velqo::v1::detail
