#include "api/models/public_records_json.hpp"

#include <stdexcept>
#include <tuple>
#include <utility>

#include "api/json_support.hpp"
#include "platform/encoding.hpp"

namespace velqo {
namespace {

using json::field;
using R = PushLoginRequestDetails;
using D = Device;
using S = SessionDetails;

constexpr auto pushLoginRequestDetailsFields = std::make_tuple(
    field("request_id", &R::requestId), field("ip_address", &R::ipAddress), field("location", &R::location),
    field("browser", &R::deviceInfo), field("timestamp", &R::timestamp));

constexpr auto deviceFields = std::make_tuple(
    field("id", &D::devId), field("platform", &D::platform), field("browser_name", &D::browserName),
    field("model", &D::model), field("os_version", &D::osVersion), field("login_time", &D::loginTime));

// "device_info" is handled apart (a free JSON object); it sits second on the wire.
constexpr auto sessionDetailsHead = std::make_tuple(field("device_id", &S::deviceId));
constexpr auto sessionDetailsTail =
    std::make_tuple(field("ip_details", &S::ipDetails), field("isp", &S::isp), field("city", &S::city),
                    field("state", &S::state), field("country", &S::country));

}  // namespace

void to_json(json::Value& out, const PushLoginRequestDetails& record) {
  json::encodeFields(out, record, pushLoginRequestDetailsFields);
}
void from_json(const json::Value& in, PushLoginRequestDetails& record) {
  json::decodeFields(in, record, pushLoginRequestDetailsFields);
}

void to_json(json::Value& out, const Device& record) {
  json::encodeFields(out, record, deviceFields);
}
void from_json(const json::Value& in, Device& record) {
  json::decodeFields(in, record, deviceFields);
  record.id = platform::makeUuid();
}

void to_json(json::Value& out, const SessionDetails& record) {
  json::Value tail;
  json::encodeFields(out, record, sessionDetailsHead);
  if (record.deviceInfo) {
    auto info = json::parse(*record.deviceInfo);
    if (!info || !info.value().is_object())
      throw std::invalid_argument("device_info does not hold a JSON object");
    out["device_info"] = std::move(info.value());
  }
  json::encodeFields(tail, record, sessionDetailsTail);
  for (auto it = tail.begin(); it != tail.end(); ++it) out[it.key()] = std::move(it.value());
}

void from_json(const json::Value& in, SessionDetails& record) {
  json::decodeFields(in, record, sessionDetailsHead);
  auto info = json::optional<json::Value>(in, "device_info");
  if (info && !info->is_object()) {
    throw json::DecodeError(json::DecodeFailure::typeMismatch, "expected an object").underKey("device_info");
  }
  record.deviceInfo = info ? std::optional<std::string>(info->dump()) : std::nullopt;
  json::decodeFields(in, record, sessionDetailsTail);
}

}  // namespace velqo
