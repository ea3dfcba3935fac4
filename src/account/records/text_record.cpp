#include "account/records/text_record.hpp"

#include "core/storage/keychain_manager.hpp"
#include "core/storage/keychain_record.hpp"

namespace velqo::detail {

std::optional<std::string> TextRecord::load(const std::string& account) const {
  auto stored = KeychainRecord(KeychainManager::serviceName(), account).load();
  if (!stored || !*stored) return std::nullopt;
  const json::Value& record = stored->value().document();
  if (!record.is_object()) return std::nullopt;
  auto it = record.find(key);
  if (it == record.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

bool TextRecord::save(const std::string& account, const std::string& text) const {
  json::Value record = json::Value::object();
  record[key] = text;
  auto encoded = compactJson(std::move(record), Slashes::plain);
  return encoded &&
         KeychainRecord(KeychainManager::serviceName(), account).saveText(std::move(encoded).value());
}

void TextRecord::remove(const std::string& account) const {
  KeychainRecord(KeychainManager::serviceName(), account).remove();
}

}  // namespace velqo::detail
