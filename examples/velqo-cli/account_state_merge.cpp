#include "account_state_merge.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace velqo::cli {
namespace {

using Json = nlohmann::json;

// Merges one value this process changed: (on disk now, as this process read it, as it is now).
// A side where the value is absent is null.
using Rule = std::function<Json(const Json& disk, const Json& loaded, const Json& current)>;

const Json& member(const Json& object, const std::string& key) {
  static const Json absent;
  if (!object.is_object()) return absent;
  const auto it = object.find(key);
  return it == object.end() ? absent : *it;
}

bool has(const Json& object, const std::string& key) {
  return object.is_object() && object.contains(key);
}

// The value as this process has it.
Json takeCurrent(const Json&, const Json&, const Json& current) {
  return current;
}

// An object whose members this process added, changed or removed are merged by their rule (the
// one named in `rules`, else `otherMembers`); the other members stay as they are on disk.
Rule object(std::map<std::string, Rule> rules, Rule otherMembers = takeCurrent) {
  return [rules = std::move(rules), otherMembers = std::move(otherMembers)](
             const Json& disk, const Json& loaded, const Json& current) {
    if (!current.is_object()) return current;
    Json out = disk.is_object() ? disk : Json::object();
    std::set<std::string> keys;
    for (const Json* side : {&loaded, &current}) {
      if (side->is_object()) {
        for (const auto& [key, value] : side->items()) keys.insert(key);
      }
    }
    for (const auto& key : keys) {
      const bool before = has(loaded, key);
      const bool now = has(current, key);
      if (before == now && (!now || loaded[key] == current[key])) continue;  // not ours to change
      if (!now) {
        out.erase(key);
        continue;
      }
      const auto rule = rules.find(key);
      out[key] = (rule != rules.end() ? rule->second : otherMembers)(member(out, key), member(loaded, key),
                                                                     current[key]);
    }
    return out;
  };
}

// A list that only grows: the elements this process added go after those on disk.
Json appended(const Json& disk, const Json& loaded, const Json& current) {
  if (!current.is_array()) return current;
  Json out = disk.is_array() ? disk : Json::array();
  Json known = loaded.is_array() ? loaded : Json::array();
  for (const auto& element : current) {
    auto same = std::find(known.begin(), known.end(), element);
    if (same != known.end()) {
      known.erase(same);
    } else {
      out.push_back(element);
    }
  }
  return out;
}

// A count: the one on disk with this process's increase.
Json counted(const Json& disk, const Json& loaded, const Json& current) {
  if (!disk.is_number_unsigned() || !loaded.is_number_unsigned() || !current.is_number_unsigned() ||
      current.get<std::uint64_t>() < loaded.get<std::uint64_t>()) {
    return current;
  }
  return disk.get<std::uint64_t>() + (current.get<std::uint64_t>() - loaded.get<std::uint64_t>());
}

// A device's key in a device list: its id (a device without one is known by all it says).
std::string deviceKey(const Json& device) {
  const Json& id = member(device, "id");
  return id.is_string() ? "id:" + id.get<std::string>() : "json:" + device.dump();
}

// A user's device list: the devices on disk that this process did not change or remove, then
// those it added or changed (a device that signed in again goes to the end, as it does here).
Json devicesById(const Json& disk, const Json& loaded, const Json& current) {
  if (!current.is_array()) return current;
  std::map<std::string, Json> before;
  if (loaded.is_array()) {
    for (const auto& device : loaded) before.emplace(deviceKey(device), device);
  }
  std::set<std::string> touched;  // changed, added or removed here
  Json mine = Json::array();
  std::set<std::string> kept;
  for (const auto& device : current) {
    const std::string key = deviceKey(device);
    kept.insert(key);
    const auto known = before.find(key);
    if (known != before.end() && known->second == device) continue;
    touched.insert(key);
    mine.push_back(device);
  }
  for (const auto& [key, device] : before) {
    if (!kept.contains(key)) touched.insert(key);
  }
  Json out = Json::array();
  if (disk.is_array()) {
    for (const auto& device : disk) {
      if (!touched.contains(deviceKey(device))) out.push_back(device);
    }
  }
  for (auto& device : mine) out.push_back(std::move(device));
  return out;
}

const Rule& accountStateRule() {
  static const Rule rule = object({
      {"tokens", object({})},
      {"push", object({{"registrations", appended}, {"requests", object({})}})},
      {"web", object({{"sessions", object({})}, {"approvals", appended}})},
      {"devices", object({}, devicesById)},
      {"v4", object({{"sessions", object({})}, {"latest_otp", object({})}, {"devices", object({})}})},
      {"v5",
       object(
           {{"registrations", object({})}, {"devices", object({})}, {"completed_registrations", counted}})},
  });
  return rule;
}

}  // namespace

nlohmann::json mergeAccountState(const nlohmann::json& onDisk, const nlohmann::json& loaded,
                                 const nlohmann::json& current) {
  return accountStateRule()(onDisk, loaded, current);
}

}  // namespace velqo::cli
