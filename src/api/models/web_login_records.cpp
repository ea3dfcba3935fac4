#include "api/models/web_login_records.hpp"

#include <tuple>

#include "api/json_support.hpp"

namespace velqo {
namespace {

using json::field;
using D = WebLoginData;

constexpr auto webLoginRequestFields = std::make_tuple(field("web_pin", &WebLoginRequest::web_pin));
constexpr auto webLoginApproveRequestFields = std::make_tuple(field("token", &WebLoginApproveRequest::token));
constexpr auto webLoginDataFields =
    std::make_tuple(field("expire_at", &D::expireAt), field("created_at", &D::createdAt),
                    field("status", &D::status), field("web_token", &D::webToken),
                    field("session_details", &D::sessionDetails), field("web_pin", &D::webPin));
constexpr auto webLoginResponseFields =
    std::make_tuple(field("api_status", &WebLoginResponse::apiStatus), field("data", &WebLoginResponse::data),
                    field("message", &WebLoginResponse::message));
constexpr auto webLoginApproveResponseFields =
    std::make_tuple(field("api_status", &WebLoginApproveResponse::apiStatus),
                    field("message", &WebLoginApproveResponse::message));

}  // namespace

void to_json(json::Value& out, const WebLoginRequest& r) {
  json::encodeFields(out, r, webLoginRequestFields);
}
void from_json(const json::Value& in, WebLoginRequest& r) {
  json::decodeFields(in, r, webLoginRequestFields);
}
void to_json(json::Value& out, const WebLoginApproveRequest& r) {
  json::encodeFields(out, r, webLoginApproveRequestFields);
}
void from_json(const json::Value& in, WebLoginApproveRequest& r) {
  json::decodeFields(in, r, webLoginApproveRequestFields);
}
void to_json(json::Value& out, const WebLoginData& r) {
  json::encodeFields(out, r, webLoginDataFields);
}
void from_json(const json::Value& in, WebLoginData& r) {
  json::decodeFields(in, r, webLoginDataFields);
}
void to_json(json::Value& out, const WebLoginResponse& r) {
  json::encodeFields(out, r, webLoginResponseFields);
}
void from_json(const json::Value& in, WebLoginResponse& r) {
  json::decodeFields(in, r, webLoginResponseFields);
}
void to_json(json::Value& out, const WebLoginApproveResponse& r) {
  json::encodeFields(out, r, webLoginApproveResponseFields);
}
void from_json(const json::Value& in, WebLoginApproveResponse& r) {
  json::decodeFields(in, r, webLoginApproveResponseFields);
}

}  // namespace velqo
