#include "api/models/v5_records.hpp"

#include <array>
#include <tuple>

#include "api/json_support.hpp"
#include "core/identity/identity_json.hpp"

namespace velqo {
namespace {

using json::field;

using AI = AuthInitV5Request;
constexpr auto authInitV5RequestFields =
    std::make_tuple(field("userid", &AI::userid), field("device_info", &AI::device_info),
                    field("hindex", &AI::hindex), field("sk2", &AI::sk2));
using VO = VerifyOtpV5Request;
constexpr auto verifyOtpV5RequestFields = std::make_tuple(
    field("device_token", &VO::device_token), field("otp", &VO::otp), field("device_info", &VO::device_info),
    field("keyset", &VO::keyset), field("hindex", &VO::hindex));
using VD = VerifyDeviceV5Request;
constexpr auto verifyDeviceV5RequestFields =
    std::make_tuple(field("userid", &VD::userid), field("device_info", &VD::device_info),
                    field("device_token", &VD::device_token), field("hindex", &VD::hindex));
using VC = VerifyCipherV5Request;
constexpr auto verifyCipherV5RequestFields =
    std::make_tuple(field("userid", &VC::userid), field("signature", &VC::signature),
                    field("hindex", &VC::hindex), field("device_info", &VC::device_info),
                    field("device_token", &VC::device_token), field("mapp", &VC::mapp));

// "r2" is handled apart: it sits third on the wire and has fallback keys when decoding.
using AR = AuthInitV5Response;
constexpr auto authInitV5ResponseHead =
    std::make_tuple(field("device_token", &AR::device_token), field("otp", &AR::otp));
constexpr auto authInitV5ResponseTail = std::make_tuple(
    field("challenge", &AR::challenge), field("detail", &AR::detail), field("message", &AR::message));
constexpr std::array<const char*, 4> r2Keys = {"r2", "c2", "combinedsalt", "combined_salt"};

using OR = VerifyOtpV5Response;
constexpr auto verifyOtpV5ResponseFields = std::make_tuple(
    field("device_token", &OR::device_token), field("detail", &OR::detail), field("message", &OR::message));
using DR = VerifyDeviceV5Response;
constexpr auto verifyDeviceV5ResponseFields =
    std::make_tuple(field("detail", &DR::detail), field("userid", &DR::userid),
                    field("is_new_user", &DR::is_new_user), field("message", &DR::message));
using CR = VerifyCipherV5Response;
constexpr auto verifyCipherV5ResponseFields =
    std::make_tuple(field("detail", &CR::detail), field("token", &CR::token), field("code", &CR::code),
                    field("expires_in", &CR::expires_in), field("session_id", &CR::session_id),
                    field("message", &CR::message));

}  // namespace

void to_json(json::Value& out, const AuthInitV5Request& r) {
  json::encodeFields(out, r, authInitV5RequestFields);
}
void from_json(const json::Value& in, AuthInitV5Request& r) {
  json::decodeFields(in, r, authInitV5RequestFields);
}
void to_json(json::Value& out, const VerifyOtpV5Request& r) {
  json::encodeFields(out, r, verifyOtpV5RequestFields);
}
void from_json(const json::Value& in, VerifyOtpV5Request& r) {
  json::decodeFields(in, r, verifyOtpV5RequestFields);
}
void to_json(json::Value& out, const VerifyDeviceV5Request& r) {
  json::encodeFields(out, r, verifyDeviceV5RequestFields);
}
void from_json(const json::Value& in, VerifyDeviceV5Request& r) {
  json::decodeFields(in, r, verifyDeviceV5RequestFields);
}
void to_json(json::Value& out, const VerifyCipherV5Request& r) {
  json::encodeFields(out, r, verifyCipherV5RequestFields);
}
void from_json(const json::Value& in, VerifyCipherV5Request& r) {
  json::decodeFields(in, r, verifyCipherV5RequestFields);
}

void to_json(json::Value& out, const AuthInitV5Response& r) {
  json::Value tail;
  json::encodeFields(out, r, authInitV5ResponseHead);
  json::putIfPresent(out, "r2", r.r2);
  json::encodeFields(tail, r, authInitV5ResponseTail);
  for (auto it = tail.begin(); it != tail.end(); ++it) out[it.key()] = std::move(it.value());
}

void from_json(const json::Value& in, AuthInitV5Response& r) {
  json::decodeFields(in, r, authInitV5ResponseHead);
  r.r2.reset();
  for (const char* key : r2Keys) {
    r.r2 = json::optional<std::string>(in, key);
    if (r.r2) break;
  }
  json::decodeFields(in, r, authInitV5ResponseTail);
}

void to_json(json::Value& out, const VerifyOtpV5Response& r) {
  json::encodeFields(out, r, verifyOtpV5ResponseFields);
}
void from_json(const json::Value& in, VerifyOtpV5Response& r) {
  json::decodeFields(in, r, verifyOtpV5ResponseFields);
}
void to_json(json::Value& out, const VerifyDeviceV5Response& r) {
  json::encodeFields(out, r, verifyDeviceV5ResponseFields);
}
void from_json(const json::Value& in, VerifyDeviceV5Response& r) {
  json::decodeFields(in, r, verifyDeviceV5ResponseFields);
}
void to_json(json::Value& out, const VerifyCipherV5Response& r) {
  json::encodeFields(out, r, verifyCipherV5ResponseFields);
}
void from_json(const json::Value& in, VerifyCipherV5Response& r) {
  json::decodeFields(in, r, verifyCipherV5ResponseFields);
}

}  // namespace velqo
