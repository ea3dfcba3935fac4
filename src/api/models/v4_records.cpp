#include "api/models/v4_records.hpp"

#include <tuple>

#include "api/json_support.hpp"
#include "core/identity/identity_json.hpp"

namespace velqo {
namespace {

using json::field;

constexpr auto authInitRequestFields = std::make_tuple(
    field("userid", &AuthInitRequest::userid), field("device_info", &AuthInitRequest::device_info),
    field("device_token", &AuthInitRequest::device_token), field("cipher", &AuthInitRequest::cipher),
    field("h1", &AuthInitRequest::h1), field("h2", &AuthInitRequest::h2));
constexpr auto otpVerificationRequestV4Fields =
    std::make_tuple(field("device_token", &OTPVerificationRequestV4::device_token),
                    field("otp", &OTPVerificationRequestV4::otp),
                    field("device_info", &OTPVerificationRequestV4::device_info));
constexpr auto verifyDeviceRequestV4Fields =
    std::make_tuple(field("userid", &VerifyDeviceRequestV4::userid),
                    field("device_info", &VerifyDeviceRequestV4::device_info),
                    field("device_token", &VerifyDeviceRequestV4::device_token),
                    field("h1", &VerifyDeviceRequestV4::h1), field("h2", &VerifyDeviceRequestV4::h2));
constexpr auto verifyCipherRequestV4Fields =
    std::make_tuple(field("userid", &VerifyCipherRequestV4::userid), field("m2", &VerifyCipherRequestV4::m2),
                    field("device_info", &VerifyCipherRequestV4::device_info),
                    field("device_token", &VerifyCipherRequestV4::device_token));

using A = AuthInitResponse;
constexpr auto authInitResponseFields =
    std::make_tuple(field("device_token", &A::device_token), field("otp", &A::otp), field("er3", &A::er3),
                    field("e12", &A::e12), field("c2", &A::c2), field("message", &A::message),
                    field("detail", &A::detail), field("statusCode", &A::statusCode));
using O = OTPVerificationResponseV4;
constexpr auto otpVerificationResponseV4Fields =
    std::make_tuple(field("message", &O::message), field("device_token", &O::device_token),
                    field("Er1r2", &O::Er1r2), field("detail", &O::detail), field("code", &O::code),
                    field("expires_in", &O::expires_in), field("statusCode", &O::statusCode));
using D = VerifyDeviceResponseV4;
constexpr auto verifyDeviceResponseV4Fields = std::make_tuple(
    field("message", &D::message), field("userid", &D::userid), field("is_new_user", &D::is_new_user),
    field("detail", &D::detail), field("statusCode", &D::statusCode));
using C = VerifyCipherResponseV4;
constexpr auto verifyCipherResponseV4Fields = std::make_tuple(
    field("message", &C::message), field("token", &C::token), field("code", &C::code),
    field("expires_in", &C::expires_in), field("detail", &C::detail), field("statusCode", &C::statusCode));

}  // namespace

void to_json(json::Value& out, const AuthInitRequest& r) {
  json::encodeFields(out, r, authInitRequestFields);
}
void from_json(const json::Value& in, AuthInitRequest& r) {
  json::decodeFields(in, r, authInitRequestFields);
}
void to_json(json::Value& out, const OTPVerificationRequestV4& r) {
  json::encodeFields(out, r, otpVerificationRequestV4Fields);
}
void from_json(const json::Value& in, OTPVerificationRequestV4& r) {
  json::decodeFields(in, r, otpVerificationRequestV4Fields);
}
void to_json(json::Value& out, const VerifyDeviceRequestV4& r) {
  json::encodeFields(out, r, verifyDeviceRequestV4Fields);
}
void from_json(const json::Value& in, VerifyDeviceRequestV4& r) {
  json::decodeFields(in, r, verifyDeviceRequestV4Fields);
}
void to_json(json::Value& out, const VerifyCipherRequestV4& r) {
  json::encodeFields(out, r, verifyCipherRequestV4Fields);
}
void from_json(const json::Value& in, VerifyCipherRequestV4& r) {
  json::decodeFields(in, r, verifyCipherRequestV4Fields);
}
void to_json(json::Value& out, const AuthInitResponse& r) {
  json::encodeFields(out, r, authInitResponseFields);
}
void from_json(const json::Value& in, AuthInitResponse& r) {
  json::decodeFields(in, r, authInitResponseFields);
}
void to_json(json::Value& out, const OTPVerificationResponseV4& r) {
  json::encodeFields(out, r, otpVerificationResponseV4Fields);
}
void from_json(const json::Value& in, OTPVerificationResponseV4& r) {
  json::decodeFields(in, r, otpVerificationResponseV4Fields);
}
void to_json(json::Value& out, const VerifyDeviceResponseV4& r) {
  json::encodeFields(out, r, verifyDeviceResponseV4Fields);
}
void from_json(const json::Value& in, VerifyDeviceResponseV4& r) {
  json::decodeFields(in, r, verifyDeviceResponseV4Fields);
}
void to_json(json::Value& out, const VerifyCipherResponseV4& r) {
  json::encodeFields(out, r, verifyCipherResponseV4Fields);
}
void from_json(const json::Value& in, VerifyCipherResponseV4& r) {
  json::decodeFields(in, r, verifyCipherResponseV4Fields);
}

}  // namespace velqo
