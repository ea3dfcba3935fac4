#pragma once

// The common error body of the service's HTTP answers: {"detail"?, "message"?, "error"?}.

#include <optional>
#include <string>
#include <string_view>

namespace velqo::json {

struct ErrorBody {
  std::optional<std::string> detail;
  std::optional<std::string> message;
  std::optional<std::string> error;

  /// The first of detail, message and error that is present.
  [[nodiscard]] std::optional<std::string> firstText() const;
};

/// The three members, each a text when present (null counts as absent); nothing when the
/// body is not a JSON object (read by `readJson`) or a member has another type.
[[nodiscard]] std::optional<ErrorBody> readErrorBody(std::string_view body);

}  // namespace velqo::json
