#pragma once

// Diagnostic lines of the V1 client: identifier hashes, event lines with redaction, and the
// request/response wire lines (internal to the library: used by the protocol client, the
// flow controller and QR approval). Every log* function hands its lines to velqo::debugLog;
// the compose* functions return them for callers with their own prefixes and for tests.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velqo/platform/error.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/v1/protocol/actions.hpp"

namespace velqo::v1::detail {

/// Lower-case hex SHA-256 of the normalised identifier (platform::normalizedIdentifier) (64 characters), or
/// nothing when the normalised identifier is empty. The "x-unique" header value.
std::optional<std::string> identifierDigestHex(std::string_view identifier);

/// The log form of an identifier: the first 12 characters of identifierDigestHex, or "none"
/// when the normalised identifier is empty.
std::string identifierHash(std::string_view identifier);

/// Event fields: name and optional value, in any order.
using EventFields = std::vector<std::pair<std::string, std::optional<std::string>>>;

/// What an event line shows for one field: the value unchanged when the lower-cased key
/// contains a keep word ("traceid", "phase", "prompt", "action", "identifierhash",
/// "session", "riskdetected", "channel", "attempt", "statuscode", "errorcode",
/// "hasconfigid", "pkcemode", "nextaction", "flowtype", "baseurl", "step", "version",
/// "algorithm", "reason"); else "<redacted>" when it contains "code", "token", "signature",
/// "keyset", "mapp", "identifier", "phone", "email" or "sk2"; else unchanged.
std::string redactedLogValue(std::string_view key, std::string_view value);

struct EventLineOptions {
  bool dropEmpty = true;  ///< drop fields whose value is absent or empty
  bool redact = true;     ///< pass values through redactedLogValue
};

/// "[V1] " + event, then, when fields remain, " " + the fields sorted by name (stable), each
/// name + "=" + value, joined with single spaces. With dropEmpty off an absent value shows
/// as an empty text.
std::string composeEventLine(std::string_view event, EventFields fields, EventLineOptions options = {});

/// composeEventLine with the defaults (drop, redact), handed to the debug sink.
void logEvent(std::string_view event, EventFields fields);

/// The bytes re-serialised with two-space pretty printing when they are JSON whose top
/// level is an object or an array; nothing otherwise (also for nesting too deep).
std::optional<std::string> prettyJSONText(std::string_view bytes);

/// A header list as a dictionary literal: ["Name": "value", ...] in list order, quotes and
/// backslashes escaped; "[:]" when empty. Values are not redacted.
std::string renderHeaderDictionary(const platform::HeaderList& headers);

/// The body line for `tag` (e.g. "[V1][WIRE][REQ_BODY]"), or nothing for an empty body:
/// tag + "\n" + velqoRedactedWireBody's text for a JSON object or array; else, for valid
/// UTF-8, tag + " <non-json-body count=N contentType=T>" (the type only when known); else
/// tag + " <non-utf8-bytes count=N>". A body that is not JSON never shows its text: it may
/// hold a code or token the redaction could not find.
std::optional<std::string> composeWireBodyLine(std::string_view tag, std::string_view body,
                                               std::string_view contentType = {});

/// The value of the first "Content-Type" header (any case), or an empty text.
std::string contentTypeOf(const platform::HeaderList& headers);

/// The request's wire lines: "[V1][WIRE][REQ] action=... attempt=... method=... url=...",
/// "[V1][WIRE][REQ_HEADERS] [...]", and the "[V1][WIRE][REQ_BODY]" line for a non-empty body.
std::vector<std::string> composeRequestWireLines(std::string_view actionName, int attempt,
                                                 const platform::HttpRequest& request);
void logRequestWire(const VelqoV1Action& action, int attempt, const platform::HttpRequest& request);

/// The response's wire lines: "[V1][WIRE][RESP_ERROR] ... error=<description>" alone with a
/// transport error; "[V1][WIRE][RESP] ... <missing-http-response>" without a response; else
/// "[V1][WIRE][RESP] ... status=N", "[V1][WIRE][RESP_HEADERS] [...]" and the
/// "[V1][WIRE][RESP_BODY]" line for a non-empty body.
std::vector<std::string> composeResponseWireLines(std::string_view actionName, int attempt,
                                                  const std::optional<std::string>& body,
                                                  const std::optional<platform::HttpResponse>& response,
                                                  const std::optional<platform::PlatformError>& error);
void logResponseWire(const VelqoV1Action& action, int attempt, const std::optional<std::string>& body,
                     const std::optional<platform::HttpResponse>& response,
                     const std::optional<platform::PlatformError>& error);

}  // namespace velqo::v1::detail
