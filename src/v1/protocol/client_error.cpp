#include "velqo/v1/protocol/client_error.hpp"

#include <utility>

namespace velqo {

VelqoV1ClientError::VelqoV1ClientError(Case c, std::string description, std::string message, long statusCode,
                                       std::optional<std::string> body, std::optional<VelqoV1Prompt> prompt)
    : PlatformError("VelqoV1ClientError", static_cast<long>(c), std::move(description)),
      case_(c),
      message_(std::move(message)),
      statusCode_(statusCode),
      body_(std::move(body)),
      prompt_(std::move(prompt)) {}

VelqoV1ClientError VelqoV1ClientError::invalidConfiguration(std::string message) {
  return {Case::invalidConfiguration,
          "Invalid configuration: " + message,
          message,
          0,
          std::nullopt,
          std::nullopt};
}
VelqoV1ClientError VelqoV1ClientError::requestEncodingFailed(std::string message) {
  return {Case::requestEncodingFailed,
          "Request encoding failed: " + message,
          message,
          0,
          std::nullopt,
          std::nullopt};
}
VelqoV1ClientError VelqoV1ClientError::responseDecodingFailed(std::string message) {
  return {Case::responseDecodingFailed,
          "Response decoding failed: " + message,
          message,
          0,
          std::nullopt,
          std::nullopt};
}
VelqoV1ClientError VelqoV1ClientError::transportError(std::string message) {
  return {Case::transportError, "Transport error: " + message, message, 0, std::nullopt, std::nullopt};
}
VelqoV1ClientError VelqoV1ClientError::httpError(long statusCode, std::optional<std::string> body) {
  return {Case::httpError, "HTTP error " + std::to_string(statusCode), {}, statusCode, std::move(body),
          std::nullopt};
}
VelqoV1ClientError VelqoV1ClientError::serverError(VelqoV1Prompt prompt) {
  std::string description = "Server error";
  if (const auto* error = prompt.as<VelqoV1Prompt::Error>()) {
    description += ": " + error->code + " (" + error->message + ")";
  } else {
    description += " (" + std::string(prompt.wireName()) + ")";
  }
  return {Case::serverError, std::move(description), {}, 0, std::nullopt, std::move(prompt)};
}

}  // namespace velqo
