#include "api/models/device_records.hpp"

#include <tuple>

#include "api/json_support.hpp"

namespace velqo {
namespace {

using json::field;
using G = GetDeviceDetailsResponse;

constexpr auto getDeviceDetailsResponseFields = std::make_tuple(
    field("api_status", &G::apiStatus), field("data", &G::data), field("message", &G::message));

}  // namespace

void to_json(json::Value& out, const GetDeviceDetailsResponse& r) {
  json::encodeFields(out, r, getDeviceDetailsResponseFields);
}
void from_json(const json::Value& in, GetDeviceDetailsResponse& r) {
  json::decodeFields(in, r, getDeviceDetailsResponseFields);
}

}  // namespace velqo
