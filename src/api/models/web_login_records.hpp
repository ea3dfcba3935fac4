#pragma once

// REST records of web login (not installed).

#include <optional>
#include <string>

#include "api/models/public_records_json.hpp"
#include "core/transport/json_codec.hpp"
#include "velqo/api/session_details.hpp"

namespace velqo {

/// Body of "/v4/websession-details".
struct WebLoginRequest {
  std::string web_pin;
  friend bool operator==(const WebLoginRequest&, const WebLoginRequest&) = default;
};

/// Body of "/v4/websession-approve".
struct WebLoginApproveRequest {
  std::string token;
  friend bool operator==(const WebLoginApproveRequest&, const WebLoginApproveRequest&) = default;
};

/// The pending web session of a web-login answer.
struct WebLoginData {
  std::optional<std::string> expireAt;           ///< "expire_at"
  std::optional<std::string> createdAt;          ///< "created_at"
  std::optional<bool> status;                    ///< "status"
  std::optional<std::string> webToken;           ///< "web_token"
  std::optional<SessionDetails> sessionDetails;  ///< "session_details"
  std::optional<std::string> webPin;             ///< "web_pin"
  friend bool operator==(const WebLoginData&, const WebLoginData&) = default;
};

/// Answer of "/v4/websession-details".
struct WebLoginResponse {
  std::optional<bool> apiStatus;     ///< "api_status"
  std::optional<WebLoginData> data;  ///< "data"
  std::optional<std::string> message;
  friend bool operator==(const WebLoginResponse&, const WebLoginResponse&) = default;
};

/// Answer of "/v4/websession-approve".
struct WebLoginApproveResponse {
  std::optional<bool> apiStatus;  ///< "api_status"
  std::optional<std::string> message;
  friend bool operator==(const WebLoginApproveResponse&, const WebLoginApproveResponse&) = default;
};

void to_json(json::Value& out, const WebLoginRequest& record);
void from_json(const json::Value& in, WebLoginRequest& record);
void to_json(json::Value& out, const WebLoginApproveRequest& record);
void from_json(const json::Value& in, WebLoginApproveRequest& record);
void to_json(json::Value& out, const WebLoginData& record);
void from_json(const json::Value& in, WebLoginData& record);
void to_json(json::Value& out, const WebLoginResponse& record);
void from_json(const json::Value& in, WebLoginResponse& record);
void to_json(json::Value& out, const WebLoginApproveResponse& record);
void from_json(const json::Value& in, WebLoginApproveResponse& record);

}  // namespace velqo
