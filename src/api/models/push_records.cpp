#include "api/models/push_records.hpp"

#include <tuple>

#include "api/json_support.hpp"

namespace velqo {
namespace {

using json::field;

constexpr auto registerPushTokenRequestFields =
    std::make_tuple(field("push_token", &RegisterPushTokenRequest::push_token),
                    field("device_fingerprint", &RegisterPushTokenRequest::device_fingerprint),
                    field("device_name", &RegisterPushTokenRequest::device_name));
constexpr auto pushActionRequestFields = std::make_tuple(field("request_id", &PushActionRequest::request_id));
constexpr auto genericSuccessResponseFields = std::make_tuple(
    field("success", &GenericSuccessResponse::success), field("detail", &GenericSuccessResponse::detail));
constexpr auto pushLoginDetailsResponseFields = std::make_tuple(
    field("success", &PushLoginDetailsResponse::success), field("data", &PushLoginDetailsResponse::data));

}  // namespace

void to_json(json::Value& out, const RegisterPushTokenRequest& r) {
  json::encodeFields(out, r, registerPushTokenRequestFields);
}
void from_json(const json::Value& in, RegisterPushTokenRequest& r) {
  json::decodeFields(in, r, registerPushTokenRequestFields);
}
void to_json(json::Value& out, const PushActionRequest& r) {
  json::encodeFields(out, r, pushActionRequestFields);
}
void from_json(const json::Value& in, PushActionRequest& r) {
  json::decodeFields(in, r, pushActionRequestFields);
}
void to_json(json::Value& out, const GenericSuccessResponse& r) {
  json::encodeFields(out, r, genericSuccessResponseFields);
}
void from_json(const json::Value& in, GenericSuccessResponse& r) {
  json::decodeFields(in, r, genericSuccessResponseFields);
}
void to_json(json::Value& out, const PushLoginDetailsResponse& r) {
  json::encodeFields(out, r, pushLoginDetailsResponseFields);
}
void from_json(const json::Value& in, PushLoginDetailsResponse& r) {
  json::decodeFields(in, r, pushLoginDetailsResponseFields);
}

}  // namespace velqo
