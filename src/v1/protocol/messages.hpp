#pragma once

// User-facing error messages of the V1 client and the phase that responses set
// (internal to the library: used by the protocol client and the V1 flows).

#include <optional>
#include <string>
#include <string_view>

#include "velqo/v1/protocol/response.hpp"

namespace velqo::v1::detail {

/// The message an error state shows to the end user, chosen from the fixed table by the
/// code (compared lower-cased), the phase ("mfa" selects the second-factor text; absent
/// counts as "unknown"), the details (retry time of rate limits) and the raw message (for
/// codes outside the table), followed by the action suffix (or " Retry this step." when
/// retryable) and the trace-id suffix (" (traceId: <id>)", "unavailable" when absent or
/// blank; skipped when the text already mentions "traceid:"). Pure; never fails.
std::string userFacingErrorMessage(std::string_view code, std::string_view message,
                                   const std::optional<std::string>& phase,
                                   const std::optional<std::string>& traceId,
                                   const std::optional<VelqoV1ErrorAction>& action, bool retryable,
                                   const std::optional<VelqoV1ErrorDetails>& details);

/// The message with the trace-id suffix (see above).
std::string traceIdSuffix(std::string message, const std::optional<std::string>& traceId);

/// The human-readable detail of an HTTP error body {"detail"?, "message"?, "error"?} (all
/// texts; a member of another type makes the body unreadable): "detail" when present (an
/// empty text counts), else "message", else "error". Nothing for a body that is not such an
/// object.
std::optional<std::string> extractHttpErrorDetail(std::string_view body);

/// The raw message of an "http_error": "HTTP <status>: <detail>" where the detail is
/// extractHttpErrorDetail of the body, else the body itself when it is valid UTF-8; a detail
/// longer than 320 characters is cut to its first 320 characters (Unicode scalar values,
/// never splitting one) followed by "..."; "HTTP <status>" when the detail is absent or empty.
std::string httpErrorRawMessage(long statusCode, std::string_view body);

/// The phase a decoded response sets: the step information's trimmed id, lower-cased, when
/// non-empty; else a select-method prompt's phase, lower-cased, when its trimmed form is
/// non-empty; else nothing (the current phase stays).
std::optional<std::string> phaseForResponse(const VelqoV1Prompt& prompt,
                                            const std::optional<VelqoV1PromptMetadata>& promptMeta);

}  // namespace velqo::v1::detail
