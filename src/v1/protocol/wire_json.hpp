#pragma once

// JSON mapping of the V1 wire records over nlohmann::json (internal to the library).
// Encoders build ordered objects so keys go out in wire order; decoders read a parsed
// document and throw VelqoV1JSONCodingError, never nlohmann's own exceptions.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "velqo/v1/protocol/actions.hpp"
#include "velqo/v1/protocol/json_coding.hpp"
#include "velqo/v1/protocol/json_value.hpp"
#include "velqo/v1/protocol/response.hpp"

namespace velqo::v1::detail {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

/// Parses any JSON text. Throws dataCorrupted for text that is not JSON, nests too deeply,
/// or holds a number that overflows a double.
Json parseJson(std::string_view text);
/// The same without throwing, but for std::bad_alloc (the core reader).
std::optional<Json> tryParseJson(std::string_view text);

/// Compact text of an ordered document; invalid UTF-8 in a text throws invalidValue.
std::string dumpCompact(const OrderedJson& json);

/// Integers as the wire reads them: integer literals within int64, and whole numbers
/// written with a fraction or exponent ("6.0", "1e2") within int64. Nothing otherwise.
std::optional<std::int64_t> integerValue(const Json& value) noexcept;

// Encoders (throw invalidValue for NaN or infinite numbers).
OrderedJson toJson(const VelqoV1JSONValue& value);
OrderedJson toJson(const VelqoV1JSONObject& object);
OrderedJson toJson(const VelqoV1DeviceInfo& device);
OrderedJson toJson(const VelqoV1DeviceCredentials& credentials);
OrderedJson toJson(const VelqoV1Action& action);
OrderedJson toJson(const VelqoV1Request& request);
OrderedJson toJson(const VelqoV1Method& method);
OrderedJson toJson(const VelqoV1ErrorAction& action);
OrderedJson toJson(const VelqoV1FieldError& error);
OrderedJson toJson(const VelqoV1ErrorDetails& details);

// Decoders from a parsed document. `path` names the value in error descriptions.
VelqoV1JSONValue jsonValueFrom(const Json& json);
VelqoV1DeviceInfo decodeDeviceInfo(const Json& json, std::string_view path);
VelqoV1DeviceCredentials decodeDeviceCredentials(const Json& json, std::string_view path);
VelqoV1FlowType decodeFlowType(const Json& json, std::string_view path);
VelqoV1Method decodeMethod(const Json& json, std::string_view path);
VelqoV1FieldError decodeFieldError(const Json& json, std::string_view path);
VelqoV1ErrorDetails decodeErrorDetails(const Json& json, std::string_view path);
/// Any value: a string maps through fromProtocolActionType, anything else is unknown("unknown").
VelqoV1ErrorAction decodeErrorAction(const Json& json);
VelqoV1StepInfo decodeStepInfo(const Json& json, std::string_view path);
VelqoV1RiskInfo decodeRiskInfo(const Json& json, std::string_view path);
VelqoV1PromptMetadata decodePromptMetadata(const Json& json, std::string_view path);
VelqoV1ResponseMeta decodeResponseMeta(const Json& json, std::string_view path);
VelqoV1Prompt decodePrompt(const Json& json, std::string_view path);
VelqoV1Response decodeResponse(const Json& json);

}  // namespace velqo::v1::detail
