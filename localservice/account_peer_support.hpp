#pragma once

// Small helpers shared by the account peers of the loopback reference service.

#include <nlohmann/json.hpp>

#include <initializer_list>
#include <map>
#include <optional>
#include <string>

#include "velqo_localservice/local_service.hpp"

namespace velqo::localservice {

/// {"detail": text} with the status.
inline Reply detailReply(int status, const std::string& detail) {
  return Reply::json(status, nlohmann::json{{"detail", detail}}.dump());
}

/// The named text fields of a JSON object body; nothing when the body is not an object or a
/// field is missing or not a text.
inline std::optional<std::map<std::string, std::string>> readFields(
    const std::string& body, std::initializer_list<const char*> names) {
  const auto json = nlohmann::json::parse(body, nullptr, false);
  if (!json.is_object()) return std::nullopt;
  std::map<std::string, std::string> fields;
  for (const char* name : names) {
    auto it = json.find(name);
    if (it == json.end() || !it->is_string()) return std::nullopt;
    fields[name] = it->get<std::string>();
  }
  return fields;
}

}  // namespace velqo::localservice
