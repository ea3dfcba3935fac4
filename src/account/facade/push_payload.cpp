#include "velqo/account/push_payload.hpp"

#include <algorithm>

#include "core/transport/json_codec.hpp"

namespace velqo {
namespace {

VelqoPushValue convert(const json::Value& value) {
  switch (value.type()) {
    case json::Value::value_t::boolean:
      return VelqoPushValue::boolean(value.get<bool>());
    case json::Value::value_t::number_integer:
    case json::Value::value_t::number_unsigned:
    case json::Value::value_t::number_float:
      return VelqoPushValue::number(value.get<double>());
    case json::Value::value_t::string:
      return VelqoPushValue::string(value.get<std::string>());
    case json::Value::value_t::array: {
      VelqoPushValue::Array items;
      items.reserve(value.size());
      for (const auto& item : value) items.push_back(convert(item));
      return VelqoPushValue::array(std::move(items));
    }
    case json::Value::value_t::object: {
      VelqoPushValue::Object members;
      members.reserve(value.size());
      for (const auto& [key, member] : value.items()) members.emplace_back(key, convert(member));
      return VelqoPushValue::object(std::move(members));
    }
    default:
      return VelqoPushValue();
  }
}

}  // namespace

VelqoPushPayload::VelqoPushPayload(VelqoPushValue::Object members) {
  for (auto& [key, value] : members) set(std::move(key), std::move(value));
}

void VelqoPushPayload::set(std::string key, VelqoPushValue value) {
  auto it = std::find_if(members_.begin(), members_.end(), [&](const auto& m) { return m.first == key; });
  if (it != members_.end()) {
    it->second = std::move(value);
  } else {
    members_.emplace_back(std::move(key), std::move(value));
  }
}

const VelqoPushValue* VelqoPushPayload::find(std::string_view key) const noexcept {
  for (const auto& [name, value] : members_) {
    if (name == key) return &value;
  }
  return nullptr;
}

std::optional<VelqoPushPayload> VelqoPushPayload::fromJSONText(std::string_view text) {
  auto parsed = json::parse(text);
  if (!parsed || !parsed.value().is_object()) return std::nullopt;
  return VelqoPushPayload(*convert(parsed.value()).objectValue());
}

}  // namespace velqo
