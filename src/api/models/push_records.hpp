#pragma once

// REST records of push login (not installed).

#include <optional>
#include <string>

#include "api/models/public_records_json.hpp"
#include "core/transport/json_codec.hpp"
#include "velqo/api/push_login_request_details.hpp"

namespace velqo {

/// Body of "/v4/push/register-token".
struct RegisterPushTokenRequest {
  std::string push_token;
  std::string device_fingerprint;
  std::string device_name;
  friend bool operator==(const RegisterPushTokenRequest&, const RegisterPushTokenRequest&) = default;
};

/// Body of "/v4/push/login-request-details", "/v4/push/approve-login-request" and
/// "/v4/push/decline-login-request".
struct PushActionRequest {
  std::string request_id;
  friend bool operator==(const PushActionRequest&, const PushActionRequest&) = default;
};

/// Answer of push-token registration, approve and decline.
struct GenericSuccessResponse {
  std::optional<bool> success;
  std::optional<std::string> detail;
  friend bool operator==(const GenericSuccessResponse&, const GenericSuccessResponse&) = default;
};

/// Answer of "/v4/push/login-request-details"; both fields required.
struct PushLoginDetailsResponse {
  bool success = false;
  PushLoginRequestDetails data;
  friend bool operator==(const PushLoginDetailsResponse&, const PushLoginDetailsResponse&) = default;
};

void to_json(json::Value& out, const RegisterPushTokenRequest& record);
void from_json(const json::Value& in, RegisterPushTokenRequest& record);
void to_json(json::Value& out, const PushActionRequest& record);
void from_json(const json::Value& in, PushActionRequest& record);
void to_json(json::Value& out, const GenericSuccessResponse& record);
void from_json(const json::Value& in, GenericSuccessResponse& record);
void to_json(json::Value& out, const PushLoginDetailsResponse& record);
void from_json(const json::Value& in, PushLoginDetailsResponse& record);

}  // namespace velqo
