#include "core/json/error_body.hpp"

#include <utility>

#include "core/json/json_reader.hpp"

namespace velqo::json {

std::optional<std::string> ErrorBody::firstText() const {
  if (detail) return detail;
  if (message) return message;
  return error;
}

std::optional<ErrorBody> readErrorBody(std::string_view body) {
  std::optional<nlohmann::json> document = readJson(body);
  if (!document || !document->is_object()) return std::nullopt;
  ErrorBody out;
  for (auto [key, slot] : {std::pair{"detail", &out.detail}, std::pair{"message", &out.message},
                           std::pair{"error", &out.error}}) {
    const auto it = document->find(key);
    if (it == document->end() || it->is_null()) continue;
    if (!it->is_string()) return std::nullopt;
    *slot = it->get<std::string>();
  }
  return out;
}

}  // namespace velqo::json
