#include "v1/protocol/diagnostics.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "platform/identifier_text.hpp"
#include "v1/protocol/wire_json.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/v1/protocol/wire_redaction.hpp"

namespace velqo::v1::detail {

namespace {

constexpr std::string_view kRedacted = "<redacted>";

constexpr std::array<std::string_view, 20> kKeepWords = {
    "traceid",  "phase",   "prompt",     "action",    "identifierhash", "session",  "riskdetected",
    "channel",  "attempt", "statuscode", "errorcode", "hasconfigid",    "pkcemode", "nextaction",
    "flowtype", "baseurl", "step",       "version",   "algorithm",      "reason"};
constexpr std::array<std::string_view, 9> kRedactWords = {
    "code", "token", "signature", "keyset", "mapp", "identifier", "phone", "email", "sk2"};
// Wire bodies also hide the authenticator secret of a time-based code setup, the hash index
// that identifies a device credential (also sent as "h2index"), and the QR data of an awaited
// approval, which may carry the phone action token.
constexpr std::array<std::string_view, 5> kBodyOnlyRedactWords = {"secret", "otpauthurl", "hindex", "h2index",
                                                                  "qrdata"};

template <std::size_t N>
bool containsAny(std::string_view text, const std::array<std::string_view, N>& words) {
  return std::any_of(words.begin(), words.end(),
                     [text](std::string_view word) { return text.find(word) != std::string_view::npos; });
}

bool isRedactedKey(std::string_view key) {
  const std::string lower = platform::toLowerAscii(key);
  if (containsAny(lower, kKeepWords)) return false;
  return containsAny(lower, kRedactWords);
}

// Body keys: the event-line rule, the body-only words, and the caller's extra words. A key
// naming a token is hidden even when it also holds a keep word ("phoneActionToken").
bool isRedactedBodyKey(std::string_view key, std::span<const std::string_view> extraWords) {
  if (isRedactedKey(key)) return true;
  const std::string lower = platform::toLowerAscii(key);
  if (lower.find("token") != std::string::npos) return true;
  if (containsAny(lower, kKeepWords)) return false;
  return containsAny(lower, kBodyOnlyRedactWords) ||
         std::any_of(extraWords.begin(), extraWords.end(),
                     [&](std::string_view word) { return lower.find(word) != std::string::npos; });
}

/// Replaces the scalar values under redacted keys; arrays take the key of their member.
void redactJson(Json& json, bool underRedactedKey, std::span<const std::string_view> extraWords) {
  if (json.is_object()) {
    for (auto it = json.begin(); it != json.end(); ++it) {
      bool redacted = isRedactedBodyKey(it.key(), extraWords);
      if (it->is_structured()) {
        redactJson(*it, redacted, extraWords);
      } else if (redacted && !it->is_null()) {
        *it = std::string(kRedacted);
      }
    }
  } else if (json.is_array()) {
    for (Json& element : json) {
      if (element.is_structured()) {
        redactJson(element, underRedactedKey, extraWords);
      } else if (underRedactedKey && !element.is_null()) {
        element = std::string(kRedacted);
      }
    }
  }
}

std::string prettyDump(const Json& json) {
  return json.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string quotedLiteral(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buffer[12];
          std::snprintf(buffer, sizeof buffer, "\\u{%x}",
                        static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buffer;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string wirePrefix(std::string_view tag, std::string_view actionName, int attempt) {
  std::string line(tag);
  line += " action=";
  line += actionName;
  line += " attempt=";
  line += std::to_string(attempt);
  return line;
}

}  // namespace

std::optional<std::string> identifierDigestHex(std::string_view identifier) {
  const std::string normalized = platform::normalizedIdentifier(identifier);
  if (normalized.empty()) return std::nullopt;
  return platform::crypto::sha256Hex(platform::crypto::view(normalized));
}

std::string identifierHash(std::string_view identifier) {
  auto digest = identifierDigestHex(identifier);
  if (!digest) return "none";
  return digest->substr(0, 12);
}

std::string redactedLogValue(std::string_view key, std::string_view value) {
  if (isRedactedKey(key)) return std::string(kRedacted);
  return std::string(value);
}

std::string composeEventLine(std::string_view event, EventFields fields, EventLineOptions options) {
  std::stable_sort(fields.begin(), fields.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string line = "[V1] ";
  line += event;
  for (const auto& [name, value] : fields) {
    if (options.dropEmpty && (!value || value->empty())) continue;
    const std::string_view shown = value ? std::string_view(*value) : std::string_view();
    line += ' ';
    line += name;
    line += '=';
    line += options.redact ? redactedLogValue(name, shown) : std::string(shown);
  }
  return line;
}

void logEvent(std::string_view event, EventFields fields) {
  debugLog(composeEventLine(event, std::move(fields)));
}

std::optional<std::string> prettyJSONText(std::string_view bytes) {
  auto json = tryParseJson(bytes);
  if (!json || !json->is_structured()) return std::nullopt;
  return prettyDump(*json);
}

std::string renderHeaderDictionary(const platform::HeaderList& headers) {
  if (headers.empty()) return "[:]";
  std::string out = "[";
  bool first = true;
  for (const auto& [name, value] : headers) {
    if (!first) out += ", ";
    first = false;
    out += quotedLiteral(name);
    out += ": ";
    out += quotedLiteral(value);
  }
  out += "]";
  return out;
}

std::optional<std::string> composeWireBodyLine(std::string_view tag, std::string_view body,
                                               std::string_view contentType) {
  if (body.empty()) return std::nullopt;
  std::string line(tag);
  if (std::optional<std::string> shown = velqoRedactedWireBody(body)) {
    line += '\n';
    line += *shown;
  } else if (platform::isValidUtf8(body)) {
    // Not JSON (truncated, too deep, an HTML error page): its text may hold anything, so
    // only its size and type show.
    line += " <non-json-body count=" + std::to_string(body.size());
    if (!contentType.empty() && platform::isValidUtf8(contentType)) {
      line += " contentType=";
      line += contentType;
    }
    line += '>';
  } else {
    line += " <non-utf8-bytes count=" + std::to_string(body.size()) + ">";
  }
  return line;
}

std::string contentTypeOf(const platform::HeaderList& headers) {
  for (const auto& [name, value] : headers) {
    if (platform::toLowerAscii(name) == "content-type") return value;
  }
  return {};
}

std::vector<std::string> composeRequestWireLines(std::string_view actionName, int attempt,
                                                 const platform::HttpRequest& request) {
  std::vector<std::string> lines;
  std::string first = wirePrefix("[V1][WIRE][REQ]", actionName, attempt);
  first += " method=";
  first += request.method.empty() ? std::string("POST") : request.method;
  first += " url=";
  first += request.url.empty() ? std::string("unknown") : request.url;
  lines.push_back(std::move(first));
  lines.push_back("[V1][WIRE][REQ_HEADERS] " + renderHeaderDictionary(request.headers));
  if (auto body = composeWireBodyLine("[V1][WIRE][REQ_BODY]", request.body, contentTypeOf(request.headers)))
    lines.push_back(std::move(*body));
  return lines;
}

void logRequestWire(const VelqoV1Action& action, int attempt, const platform::HttpRequest& request) {
  for (const auto& line : composeRequestWireLines(action.wireName(), attempt, request)) debugLog(line);
}

std::vector<std::string> composeResponseWireLines(std::string_view actionName, int attempt,
                                                  const std::optional<std::string>& body,
                                                  const std::optional<platform::HttpResponse>& response,
                                                  const std::optional<platform::PlatformError>& error) {
  std::vector<std::string> lines;
  if (error) {
    lines.push_back(wirePrefix("[V1][WIRE][RESP_ERROR]", actionName, attempt) +
                    " error=" + error->localizedDescription());
    return lines;
  }
  if (!response) {
    lines.push_back(wirePrefix("[V1][WIRE][RESP]", actionName, attempt) + " <missing-http-response>");
    return lines;
  }
  lines.push_back(wirePrefix("[V1][WIRE][RESP]", actionName, attempt) +
                  " status=" + std::to_string(response->statusCode));
  lines.push_back("[V1][WIRE][RESP_HEADERS] " + renderHeaderDictionary(response->headers));
  if (body) {
    if (auto bodyLine = composeWireBodyLine("[V1][WIRE][RESP_BODY]", *body, contentTypeOf(response->headers)))
      lines.push_back(std::move(*bodyLine));
  }
  return lines;
}

void logResponseWire(const VelqoV1Action& action, int attempt, const std::optional<std::string>& body,
                     const std::optional<platform::HttpResponse>& response,
                     const std::optional<platform::PlatformError>& error) {
  for (const auto& line : composeResponseWireLines(action.wireName(), attempt, body, response, error)) {
    debugLog(line);
  }
}

}  // namespace velqo::v1::detail

namespace velqo {

std::optional<std::string> velqoRedactedWireBody(std::string_view body,
                                                 std::span<const std::string_view> extraSensitiveWords) {
  using v1::detail::Json;
  std::optional<Json> json = v1::detail::tryParseJson(body);
  if (!json || !json->is_structured()) return std::nullopt;
  v1::detail::redactJson(*json, false, extraSensitiveWords);
  return v1::detail::prettyDump(*json);
}

}  // namespace velqo
