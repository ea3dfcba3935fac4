#include "velqo/v1/protocol/json_value.hpp"

#include <algorithm>

#include "v1/protocol/wire_json.hpp"

namespace velqo {

void VelqoV1JSONObject::set(std::string key, VelqoV1JSONValue value) {
  for (auto& entry : entries_) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

const VelqoV1JSONValue* VelqoV1JSONObject::find(std::string_view key) const noexcept {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->first == key) return &it->second;
  }
  return nullptr;
}

bool operator==(const VelqoV1JSONObject& a, const VelqoV1JSONObject& b) {
  if (a.size() != b.size()) return false;
  return std::all_of(a.begin(), a.end(), [&b](const VelqoV1JSONObject::Entry& entry) {
    const VelqoV1JSONValue* other = b.find(entry.first);
    return other != nullptr && *other == entry.second;
  });
}

VelqoV1JSONValue VelqoV1JSONValue::string(std::string value) {
  return VelqoV1JSONValue(Storage(std::move(value)));
}
VelqoV1JSONValue VelqoV1JSONValue::number(double value) {
  return VelqoV1JSONValue(Storage(std::in_place_type<double>, value));
}
VelqoV1JSONValue VelqoV1JSONValue::boolean(bool value) {
  return VelqoV1JSONValue(Storage(std::in_place_type<bool>, value));
}
VelqoV1JSONValue VelqoV1JSONValue::object(VelqoV1JSONObject value) {
  return VelqoV1JSONValue(Storage(std::in_place_type<VelqoV1JSONObject>, std::move(value)));
}
VelqoV1JSONValue VelqoV1JSONValue::array(VelqoV1JSONArray value) {
  return VelqoV1JSONValue(Storage(std::in_place_type<VelqoV1JSONArray>, std::move(value)));
}

std::optional<double> VelqoV1JSONValue::numberValue() const noexcept {
  if (const double* d = std::get_if<double>(&value_)) return *d;
  return std::nullopt;
}

std::optional<bool> VelqoV1JSONValue::boolValue() const noexcept {
  if (const bool* b = std::get_if<bool>(&value_)) return *b;
  return std::nullopt;
}

bool operator==(const VelqoV1JSONValue& a, const VelqoV1JSONValue& b) {
  // std::variant's equality compares the active alternatives with their own ==, which for
  // doubles is numeric (NaN unequal) and for objects ignores member order.
  return a.value_ == b.value_;
}

std::string VelqoV1JSONValue::toJSONText() const {
  return v1::detail::dumpCompact(v1::detail::toJson(*this));
}

VelqoV1JSONValue VelqoV1JSONValue::fromJSONText(std::string_view json) {
  return v1::detail::jsonValueFrom(v1::detail::parseJson(json));
}

template <>
VelqoV1JSONValue decodeV1JSON<VelqoV1JSONValue>(std::string_view json) {
  return VelqoV1JSONValue::fromJSONText(json);
}

}  // namespace velqo
