#pragma once

// VelqoV1ClientError: the public error enumeration of the V1 client, for host applications.
// The protocol client itself reports its failures as error states, never by throwing this.

#include <optional>
#include <string>

#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/v1/protocol/response.hpp"

namespace velqo {

/// As a platform error: domain "VelqoV1ClientError", code = position of the case
/// (invalidConfiguration 0 ... serverError 5), a readable description. Equality: same case
/// and equal payloads (an absent HTTP body differs from an empty one).
class VELQO_API VelqoV1ClientError : public platform::PlatformError {
 public:
  /// The cases, in declaration order.
  enum class Case {
    invalidConfiguration,
    requestEncodingFailed,
    responseDecodingFailed,
    transportError,
    httpError,
    serverError,
  };

  static VelqoV1ClientError invalidConfiguration(std::string message);
  static VelqoV1ClientError requestEncodingFailed(std::string message);
  static VelqoV1ClientError responseDecodingFailed(std::string message);
  static VelqoV1ClientError transportError(std::string message);
  static VelqoV1ClientError httpError(long statusCode, std::optional<std::string> body);
  static VelqoV1ClientError serverError(VelqoV1Prompt prompt);

  Case errorCase() const noexcept { return case_; }
  /// The text payload of the first four cases (empty for the others).
  const std::string& message() const noexcept { return message_; }
  /// httpError's payload (0 and nothing for the other cases).
  long statusCode() const noexcept { return statusCode_; }
  const std::optional<std::string>& body() const noexcept { return body_; }
  /// serverError's prompt (nothing for the other cases).
  const std::optional<VelqoV1Prompt>& prompt() const noexcept { return prompt_; }

  friend bool operator==(const VelqoV1ClientError& a, const VelqoV1ClientError& b) {
    return a.case_ == b.case_ && a.message_ == b.message_ && a.statusCode_ == b.statusCode_ &&
           a.body_ == b.body_ && a.prompt_ == b.prompt_;
  }

 private:
  VelqoV1ClientError(Case c, std::string description, std::string message, long statusCode,
                     std::optional<std::string> body, std::optional<VelqoV1Prompt> prompt);
  Case case_;
  std::string message_;
  long statusCode_;
  std::optional<std::string> body_;
  std::optional<VelqoV1Prompt> prompt_;
};

}  // namespace velqo
