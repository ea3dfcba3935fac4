#pragma once

// REST records of V5 sign-in (not installed).

#include <cstdint>
#include <optional>
#include <string>

#include "core/identity/device_records.hpp"
#include "core/transport/json_codec.hpp"

namespace velqo {

/// Body of "/v5/auth-init": registration sends neither "hindex" nor "sk2"; login sends both.
struct AuthInitV5Request {
  std::string userid;
  MobileDeviceInfoV1 device_info;
  std::optional<std::string> hindex;
  std::optional<std::string> sk2;
  friend bool operator==(const AuthInitV5Request&, const AuthInitV5Request&) = default;
};

/// Body of "/v5/verify-otp".
struct VerifyOtpV5Request {
  std::string device_token;
  std::string otp;
  MobileDeviceInfoV1 device_info;
  std::string keyset;
  std::string hindex;
  friend bool operator==(const VerifyOtpV5Request&, const VerifyOtpV5Request&) = default;
};

/// Body of "/v5/verify-device".
struct VerifyDeviceV5Request {
  std::string userid;
  MobileDeviceInfoV1 device_info;
  std::string device_token;
  std::string hindex;
  friend bool operator==(const VerifyDeviceV5Request&, const VerifyDeviceV5Request&) = default;
};

/// Body of "/v5/verify-cipher".
struct VerifyCipherV5Request {
  std::string userid;
  std::string signature;
  std::string hindex;
  MobileDeviceInfoV1 device_info;
  std::optional<std::string> device_token;
  std::string mapp;
  friend bool operator==(const VerifyCipherV5Request&, const VerifyCipherV5Request&) = default;
};

/// Answer of "/v5/auth-init". `r2` is read from the first of "r2", "c2", "combinedsalt" and
/// "combined_salt" that holds a value (null counts as absent); only that key's type is checked.
/// Encoding writes it under "r2".
struct AuthInitV5Response {
  std::optional<std::string> device_token;
  std::optional<std::string> otp;
  std::optional<std::string> r2;
  std::optional<std::string> challenge;
  std::optional<std::string> detail;
  std::optional<std::string> message;
  friend bool operator==(const AuthInitV5Response&, const AuthInitV5Response&) = default;
};

/// Answer of "/v5/verify-otp".
struct VerifyOtpV5Response {
  std::optional<std::string> device_token;
  std::optional<std::string> detail;
  std::optional<std::string> message;
  friend bool operator==(const VerifyOtpV5Response&, const VerifyOtpV5Response&) = default;
};

/// Answer of "/v5/verify-device".
struct VerifyDeviceV5Response {
  std::optional<std::string> detail;
  std::optional<std::string> userid;
  std::optional<bool> is_new_user;
  std::optional<std::string> message;
  friend bool operator==(const VerifyDeviceV5Response&, const VerifyDeviceV5Response&) = default;
};

/// Answer of "/v5/verify-cipher".
struct VerifyCipherV5Response {
  std::optional<std::string> detail;
  std::optional<std::string> token;
  std::optional<std::string> code;
  std::optional<std::int64_t> expires_in;
  std::optional<std::string> session_id;
  std::optional<std::string> message;
  friend bool operator==(const VerifyCipherV5Response&, const VerifyCipherV5Response&) = default;
};

void to_json(json::Value& out, const AuthInitV5Request& record);
void from_json(const json::Value& in, AuthInitV5Request& record);
void to_json(json::Value& out, const VerifyOtpV5Request& record);
void from_json(const json::Value& in, VerifyOtpV5Request& record);
void to_json(json::Value& out, const VerifyDeviceV5Request& record);
void from_json(const json::Value& in, VerifyDeviceV5Request& record);
void to_json(json::Value& out, const VerifyCipherV5Request& record);
void from_json(const json::Value& in, VerifyCipherV5Request& record);
void to_json(json::Value& out, const AuthInitV5Response& record);
void from_json(const json::Value& in, AuthInitV5Response& record);
void to_json(json::Value& out, const VerifyOtpV5Response& record);
void from_json(const json::Value& in, VerifyOtpV5Response& record);
void to_json(json::Value& out, const VerifyDeviceV5Response& record);
void from_json(const json::Value& in, VerifyDeviceV5Response& record);
void to_json(json::Value& out, const VerifyCipherV5Response& record);
void from_json(const json::Value& in, VerifyCipherV5Response& record);

}  // namespace velqo
