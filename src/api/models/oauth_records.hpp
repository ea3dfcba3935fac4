#pragma once

// The OAuth token endpoint's answer (not installed).

#include <cstdint>
#include <optional>
#include <string>

#include "core/transport/json_codec.hpp"

namespace velqo {

/// Answer of the token endpoint; every field optional, so any JSON object whose present
/// fields have these types decodes (an error body included).
struct OAuthTokenResponse {
  std::optional<std::string> id_token;
  std::optional<std::string> token_type;
  std::optional<std::int64_t> expires_in;
  friend bool operator==(const OAuthTokenResponse&, const OAuthTokenResponse&) = default;
};

void to_json(json::Value& out, const OAuthTokenResponse& record);
void from_json(const json::Value& in, OAuthTokenResponse& record);

}  // namespace velqo
