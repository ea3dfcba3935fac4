#include "v1/protocol/messages.hpp"

#include <array>

#include "core/json/error_body.hpp"
#include "platform/encoding.hpp"
#include "v1/protocol/diagnostics.hpp"
#include "v1/protocol/wire_json.hpp"

namespace velqo::v1::detail {

namespace {

constexpr std::string_view kInternalErrorText =
    "Authentication could not be completed due to an internal error. Retry this step.";
constexpr std::string_view kTooManyAttemptsText = "Too many attempts. Please wait and try again.";
constexpr std::size_t kHttpDetailLimit = 320;

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

template <std::size_t N>
bool isOneOf(std::string_view value, const std::array<std::string_view, N>& set) {
  for (std::string_view candidate : set) {
    if (candidate == value) return true;
  }
  return false;
}

std::string baseText(std::string_view code, std::string_view message, const std::optional<std::string>& phase,
                     const std::optional<VelqoV1ErrorDetails>& details) {
  const std::string lowerCode = platform::toLowerAscii(code);
  const std::string lowerPhase = platform::toLowerAscii(phase ? std::string_view(*phase) : "unknown");
  const std::string lowerMessage = platform::toLowerAscii(message);

  static constexpr std::array<std::string_view, 4> kInvalidCode = {"invalid_code", "otp_invalid",
                                                                   "invalid_otp", "code_mismatch"};
  static constexpr std::array<std::string_view, 2> kExpiredCode = {"expired_code", "code_expired"};
  static constexpr std::array<std::string_view, 2> kRateLimited = {"rate_limited", "too_many_attempts"};
  static constexpr std::array<std::string_view, 7> kDeviceTrust = {
      "device_not_found", "decryption_failed",    "invalid_challenge",  "invalid_signature",
      "info_mismatch",    "info_string_mismatch", "device_crypto_error"};
  static constexpr std::array<std::string_view, 2> kInternal = {"internal_error", "unexpected_error"};

  if (isOneOf(lowerCode, kInvalidCode)) {
    if (lowerPhase == "mfa") return "The second-factor code is invalid. Enter the latest code and try again.";
    return "The verification code is invalid. Enter the latest code and try again.";
  }
  if (isOneOf(lowerCode, kExpiredCode)) return "The verification code expired. Request a new code and retry.";
  if (isOneOf(lowerCode, kRateLimited)) {
    if (!details) return std::string(kTooManyAttemptsText);
    if (details->retryAt && !details->retryAt->empty()) {
      return "Too many attempts. Retry after " + *details->retryAt + ".";
    }
    if (details->retryAfterSeconds) {
      return "Too many attempts. Retry in " + std::to_string(*details->retryAfterSeconds) + " seconds.";
    }
    return std::string(kTooManyAttemptsText);
  }
  if (isOneOf(lowerCode, kDeviceTrust)) {
    return "Device trust could not be completed on this device. Restart sign-in to re-enroll this device.";
  }
  if (lowerCode == "transport_error") return "Network request failed. Check connectivity and retry.";
  if (lowerCode == "http_error") {
    if (contains(lowerMessage, "401") || contains(lowerMessage, "unauthorized")) {
      return "Request was unauthorized. Confirm `x-config-id` is valid for this environment.";
    }
    if (contains(lowerMessage, "404"))
      return "Requested authentication resource was not found for this environment.";
    return "Request failed. Retry, and if it persists contact support.";
  }
  if (isOneOf(lowerCode, kInternal)) return std::string(kInternalErrorText);

  if (contains(lowerMessage, "unexpected error") || contains(lowerMessage, "internal error") ||
      contains(lowerMessage, "internal_error")) {
    return std::string(kInternalErrorText);
  }
  if (platform::trimWhitespace(message).empty()) return "Authentication failed. Retry this step.";
  return std::string(message);
}

std::string_view actionSuffix(const std::optional<VelqoV1ErrorAction>& action, bool retryable) {
  if (action) {
    switch (action->kind()) {
      case VelqoV1ErrorAction::Case::restartFlow:
        return " Restart the authentication flow.";
      case VelqoV1ErrorAction::Case::wait:
        return " Wait for the retry window and try again.";
      case VelqoV1ErrorAction::Case::resendCode:
        return " You can request a new code.";
      case VelqoV1ErrorAction::Case::selectMethod:
        return " Select a different authentication method and retry.";
      default:
        break;
    }
  }
  return retryable ? " Retry this step." : "";
}

/// The first `limit` Unicode scalar values of valid UTF-8 text, and whether it was longer.
std::pair<std::string_view, bool> prefixOfScalars(std::string_view text, std::size_t limit) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation byte
    if (count == limit) return {text.substr(0, i), true};
    ++count;
  }
  return {text, false};
}

}  // namespace

std::string traceIdSuffix(std::string message, const std::optional<std::string>& traceId) {
  if (contains(platform::toLowerAscii(message), "traceid:")) return message;
  const bool usable = traceId && !platform::trimWhitespace(*traceId).empty();
  message += " (traceId: ";
  message += usable ? *traceId : std::string("unavailable");
  message += ")";
  return message;
}

std::string userFacingErrorMessage(std::string_view code, std::string_view message,
                                   const std::optional<std::string>& phase,
                                   const std::optional<std::string>& traceId,
                                   const std::optional<VelqoV1ErrorAction>& action, bool retryable,
                                   const std::optional<VelqoV1ErrorDetails>& details) {
  std::string text = baseText(code, message, phase, details);
  text += actionSuffix(action, retryable);
  return traceIdSuffix(std::move(text), traceId);
}

std::optional<std::string> extractHttpErrorDetail(std::string_view body) {
  if (std::optional<json::ErrorBody> error = json::readErrorBody(body)) return error->firstText();
  return std::nullopt;
}

std::string httpErrorRawMessage(long statusCode, std::string_view body) {
  std::string message = "HTTP " + std::to_string(statusCode);
  std::optional<std::string> detail = extractHttpErrorDetail(body);
  if (!detail && platform::isValidUtf8(body)) detail = std::string(body);
  if (!detail || detail->empty()) return message;
  auto [prefix, truncated] = prefixOfScalars(*detail, kHttpDetailLimit);
  message += ": ";
  message += prefix;
  if (truncated) message += "...";
  return message;
}

std::optional<std::string> phaseForResponse(const VelqoV1Prompt& prompt,
                                            const std::optional<VelqoV1PromptMetadata>& promptMeta) {
  if (promptMeta && promptMeta->stepInfo) {
    std::string id = platform::trimWhitespace(promptMeta->stepInfo->id);
    if (!id.empty()) return platform::toLowerAscii(id);
  }
  if (const auto* select = prompt.as<VelqoV1Prompt::SelectMethod>()) {
    if (select->phase && !platform::trimWhitespace(*select->phase).empty()) {
      return platform::toLowerAscii(*select->phase);
    }
  }
  return std::nullopt;
}

}  // namespace velqo::v1::detail
