#include "v1/protocol/diagnostics.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "v1/protocol/wire_json.hpp"
#include "velqo/core/debug_sink.hpp"

namespace velqo::v1::detail {

namespace {

constexpr std::string_view kRedacted = "<redacted>";

constexpr std::array<std::string_view, 20> kKeepWords = {
    "traceid",  "phase",   "prompt",     "action",    "identifierhash", "session",  "riskdetected",
    "channel",  "attempt", "statuscode", "errorcode", "hasconfigid",    "pkcemode", "nextaction",
    "flowtype", "baseurl", "step",       "version",   "algorithm",      "reason"};
constexpr std::array<std::string_view, 9> kRedactWords = {
    "code", "token", "signature", "keyset", "mapp", "identifier", "phone", "email", "sk2"};
// Wire bodies also hide the authenticator secret of a time-based code setup and the hash
// index that identifies a device credential.
constexpr std::array<std::string_view, 3> kBodyOnlyRedactWords = {"secret", "otpauthurl", "hindex"};

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

bool isRedactedBodyKey(std::string_view key) {
  if (isRedactedKey(key)) return true;
  const std::string lower = platform::toLowerAscii(key);
  return !containsAny(lower, kKeepWords) && containsAny(lower, kBodyOnlyRedactWords);
}

/// Replaces the scalar values under redacted keys; arrays take the key of their member.
void redactJson(Json& json, bool underRedactedKey) {
  if (json.is_object()) {
    for (auto it = json.begin(); it != json.end(); ++it) {
      bool redacted = isRedactedBodyKey(it.key());
      if (it->is_structured()) {
        redactJson(*it, redacted);
      } else if (redacted && !it->is_null()) {
        *it = std::string(kRedacted);
      }
    }
  } else if (json.is_array()) {
    for (Json& element : json) {
      if (element.is_structured()) {
        redactJson(element, underRedactedKey);
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

bool isValidUtf8(std::string_view bytes) noexcept {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    unsigned int codePoint;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
      codePoint = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      codePoint = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      codePoint = b0 & 0x07u;
    } else {
      return false;
    }
    if (i + length > n) return false;
    for (std::size_t k = 1; k < length; ++k) {
      auto b = static_cast<unsigned char>(bytes[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (b & 0x3Fu);
    }
    if ((length == 3 && codePoint < 0x800) ||
        (length == 4 && (codePoint < 0x10000 || codePoint > 0x10FFFF)) ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string normalizedIdentifier(std::string_view identifier) {
  return platform::toLowerAscii(platform::trimWhitespace(identifier));
}

std::optional<std::string> identifierDigestHex(std::string_view identifier) {
  const std::string normalized = normalizedIdentifier(identifier);
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

std::optional<std::string> composeWireBodyLine(std::string_view tag, std::string_view body) {
  if (body.empty()) return std::nullopt;
  std::string line(tag);
  auto json = tryParseJson(body);
  if (json && json->is_structured()) {
    redactJson(*json, false);
    line += '\n';
    line += prettyDump(*json);
  } else if (isValidUtf8(body)) {
    line += '\n';
    line += body;
  } else {
    line += " <non-utf8-bytes count=" + std::to_string(body.size()) + ">";
  }
  return line;
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
  if (auto body = composeWireBodyLine("[V1][WIRE][REQ_BODY]", request.body))
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
    if (auto bodyLine = composeWireBodyLine("[V1][WIRE][RESP_BODY]", *body))
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
