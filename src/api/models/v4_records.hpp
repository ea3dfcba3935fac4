#pragma once

// REST records of V4 sign-in (not installed).

#include <cstdint>
#include <optional>
#include <string>

#include "core/identity/device_records.hpp"
#include "core/transport/json_codec.hpp"

namespace velqo {

/// Body of "/v4/auth-init".
struct AuthInitRequest {
  std::string userid;
  MobileDeviceInfoV1 device_info;
  std::optional<std::string> device_token;
  std::optional<std::string> cipher;
  std::optional<std::string> h1;
  std::optional<std::string> h2;
  friend bool operator==(const AuthInitRequest&, const AuthInitRequest&) = default;
};

/// Body of "/v4/verify-otp".
struct OTPVerificationRequestV4 {
  std::string device_token;
  std::string otp;
  MobileDeviceInfoV1 device_info;
  friend bool operator==(const OTPVerificationRequestV4&, const OTPVerificationRequestV4&) = default;
};

/// Body of "/v4/verify-device".
struct VerifyDeviceRequestV4 {
  std::string userid;
  MobileDeviceInfoV1 device_info;
  std::string device_token;
  std::string h1;
  std::string h2;
  friend bool operator==(const VerifyDeviceRequestV4&, const VerifyDeviceRequestV4&) = default;
};

/// Body of "/v4/verify-cipher".
struct VerifyCipherRequestV4 {
  std::string userid;
  std::string m2;
  MobileDeviceInfoV1 device_info;
  std::string device_token;
  friend bool operator==(const VerifyCipherRequestV4&, const VerifyCipherRequestV4&) = default;
};

/// Answer of "/v4/auth-init".
struct AuthInitResponse {
  std::optional<std::string> device_token;
  std::optional<std::string> otp;
  std::optional<std::string> er3;
  std::optional<std::string> e12;
  std::optional<std::string> c2;
  std::optional<std::string> message;
  std::optional<std::string> detail;
  std::optional<std::int64_t> statusCode;
  friend bool operator==(const AuthInitResponse&, const AuthInitResponse&) = default;
};

/// Answer of "/v4/verify-otp".
struct OTPVerificationResponseV4 {
  std::optional<std::string> message;
  std::optional<std::string> device_token;
  std::optional<std::string> Er1r2;
  std::optional<std::string> detail;
  std::optional<std::string> code;
  std::optional<std::int64_t> expires_in;
  std::optional<std::int64_t> statusCode;
  friend bool operator==(const OTPVerificationResponseV4&, const OTPVerificationResponseV4&) = default;
};

/// Answer of "/v4/verify-device".
struct VerifyDeviceResponseV4 {
  std::optional<std::string> message;
  std::optional<std::string> userid;
  std::optional<bool> is_new_user;
  std::optional<std::string> detail;
  std::optional<std::int64_t> statusCode;
  friend bool operator==(const VerifyDeviceResponseV4&, const VerifyDeviceResponseV4&) = default;
};

/// Answer of "/v4/verify-cipher".
struct VerifyCipherResponseV4 {
  std::optional<std::string> message;
  std::optional<std::string> token;
  std::optional<std::string> code;
  std::optional<std::int64_t> expires_in;
  std::optional<std::string> detail;
  std::optional<std::int64_t> statusCode;
  friend bool operator==(const VerifyCipherResponseV4&, const VerifyCipherResponseV4&) = default;
};

void to_json(json::Value& out, const AuthInitRequest& record);
void from_json(const json::Value& in, AuthInitRequest& record);
void to_json(json::Value& out, const OTPVerificationRequestV4& record);
void from_json(const json::Value& in, OTPVerificationRequestV4& record);
void to_json(json::Value& out, const VerifyDeviceRequestV4& record);
void from_json(const json::Value& in, VerifyDeviceRequestV4& record);
void to_json(json::Value& out, const VerifyCipherRequestV4& record);
void from_json(const json::Value& in, VerifyCipherRequestV4& record);
void to_json(json::Value& out, const AuthInitResponse& record);
void from_json(const json::Value& in, AuthInitResponse& record);
void to_json(json::Value& out, const OTPVerificationResponseV4& record);
void from_json(const json::Value& in, OTPVerificationResponseV4& record);
void to_json(json::Value& out, const VerifyDeviceResponseV4& record);
void from_json(const json::Value& in, VerifyDeviceResponseV4& record);
void to_json(json::Value& out, const VerifyCipherResponseV4& record);
void from_json(const json::Value& in, VerifyCipherResponseV4& record);

}  // namespace velqo
