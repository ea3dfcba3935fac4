#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/encoding.hpp"
#include "v1/protocol/diagnostics.hpp"
#include "v1/protocol/wire_json.hpp"
#include "velqo/v1/flows/qr_payload.hpp"

namespace velqo {
namespace {

using Json = v1::detail::Json;

// The value of `key` when it is a JSON string; any other value counts as absent.
std::optional<std::string> stringMember(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<std::string> stringMember(const Json& object, const char* key, const char* fallbackKey) {
  if (auto value = stringMember(object, key)) return value;
  return stringMember(object, fallbackKey);
}

std::optional<VelqoV1QrPayload> fromJsonObject(const Json& object, const std::string& trimmed) {
  auto sessionId = stringMember(object, "session_id", "sessionId");
  auto nonce = stringMember(object, "nonce");
  if (!sessionId || !nonce) return std::nullopt;

  const std::string type = platform::toLowerAscii(stringMember(object, "type").value_or(""));
  auto phoneActionToken = stringMember(object, "phone_action_token", "phoneActionToken");
  auto token = stringMember(object, "token");
  auto projectId = stringMember(object, "project_id", "projectId");
  auto version = stringMember(object, "v", "version");

  VelqoV1QrPayloadType kind;
  if (type == "qr_login") {
    kind = VelqoV1QrPayloadType::qrLogin;
  } else if (phoneActionToken) {
    kind = VelqoV1QrPayloadType::qrAuth;
  } else if (token) {
    kind = VelqoV1QrPayloadType::qrLogin;
  } else {
    return std::nullopt;
  }
  return VelqoV1QrPayload{kind,
                          std::move(*sessionId),
                          std::move(*nonce),
                          std::move(phoneActionToken),
                          std::move(token),
                          std::move(projectId),
                          std::move(version),
                          trimmed};
}

std::optional<VelqoV1QrPayload> fromColonText(const std::string& trimmed) {
  std::vector<std::string_view> pieces;
  std::string_view rest(trimmed);
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    const std::string_view piece = rest.substr(0, colon);
    if (!piece.empty()) pieces.push_back(piece);
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  if (pieces.size() < 3) return std::nullopt;

  std::string phoneActionToken;
  for (std::size_t i = 2; i < pieces.size(); ++i) {
    if (i > 2) phoneActionToken += ':';
    phoneActionToken += pieces[i];
  }
  return VelqoV1QrPayload{VelqoV1QrPayloadType::qrAuth,
                          std::string(pieces[0]),
                          std::string(pieces[1]),
                          std::move(phoneActionToken),
                          std::nullopt,
                          std::nullopt,
                          std::nullopt,
                          trimmed};
}

}  // namespace

std::string_view qrPayloadTypeRawValue(VelqoV1QrPayloadType type) noexcept {
  return type == VelqoV1QrPayloadType::qrLogin ? "qr_login" : "qr_auth";
}

std::optional<VelqoV1QrPayloadType> qrPayloadTypeFromRawValue(std::string_view raw) noexcept {
  if (raw == "qr_auth") return VelqoV1QrPayloadType::qrAuth;
  if (raw == "qr_login") return VelqoV1QrPayloadType::qrLogin;
  return std::nullopt;
}

std::optional<VelqoV1QrPayload> VelqoV1QrPayloadParser::parse(std::string_view scanned) {
  // A scanned text is Unicode text; bytes that are not UTF-8 are no payload (they could not
  // be sent in a JSON request anyway).
  if (!platform::isValidUtf8(scanned)) return std::nullopt;
  const std::string trimmed = platform::trimWhitespace(scanned);
  if (trimmed.empty()) return std::nullopt;

  if (auto document = v1::detail::tryParseJson(trimmed); document && document->is_object()) {
    if (auto payload = fromJsonObject(*document, trimmed)) return payload;
  }
  return fromColonText(trimmed);
}

}  // namespace velqo
