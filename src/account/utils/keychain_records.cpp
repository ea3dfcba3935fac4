// The Er1r2 and last-user records of VelqoFrameworkInternalUtils.

#include <utility>

#include "account/utils/velqo_framework_internal_utils.hpp"
#include "core/storage/keychain_manager.hpp"
#include "core/transport/json_codec.hpp"
#include "velqo/platform/bytes.hpp"

namespace velqo {
namespace {

constexpr const char* kEr1r2Key = "encpr1r2";
constexpr const char* kUsernameKey = "username";

// Overwrites every text of a parsed record (the Er1r2 record's value is a secret) before the
// parser's copy is freed.
void wipeStrings(json::Value& value) noexcept {
  if (value.is_string()) {
    wipe(value.get_ref<std::string&>());
  } else if (value.is_structured()) {
    for (auto& element : value) wipeStrings(element);
  }
}

std::optional<std::string> readTextField(const std::string& account, const char* key) {
  auto data = KeychainManager::getData(KeychainManager::serviceName(), account);
  if (!data) return std::nullopt;
  ScopedWipe wipeData(*data);
  auto parsed = json::parse(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
  if (!parsed) return std::nullopt;
  json::Value& record = parsed.value();
  std::optional<std::string> text;
  if (record.is_object()) {
    auto it = record.find(key);
    if (it != record.end() && it->is_string()) text = it->get<std::string>();
  }
  wipeStrings(record);
  return text;
}

bool saveTextField(const std::string& account, const char* key, const std::string& value) {
  std::string text;
  try {
    json::Value object = json::Value::object();
    object[key] = value;
    text = object.dump();
  } catch (const std::exception&) {
    return false;  // not valid UTF-8: nothing to serialise
  }
  Bytes data = bytesOf(text);
  wipe(text);
  ScopedWipe wipeData(data);
  return KeychainManager::save(data, KeychainManager::serviceName(), account);
}

}  // namespace

std::shared_ptr<VelqoFrameworkInternalUtils> VelqoFrameworkInternalUtils::shared() {
  static const auto instance = std::make_shared<VelqoFrameworkInternalUtils>();
  return instance;
}

std::optional<std::string> VelqoFrameworkInternalUtils::getEr1r2FromKeychain(
    const std::string& userId) const {
  return readTextField(userId, kEr1r2Key);
}

bool VelqoFrameworkInternalUtils::saveEr1r2ToKeychain(const std::string& er1r2,
                                                      const std::string& userId) const {
  return saveTextField(userId, kEr1r2Key, er1r2);
}

bool VelqoFrameworkInternalUtils::saveLastUser(const std::string& user) const {
  return saveTextField(lastUserAccount, kUsernameKey, user);
}

std::optional<std::string> VelqoFrameworkInternalUtils::getLastUser() const {
  return readTextField(lastUserAccount, kUsernameKey);
}

void VelqoFrameworkInternalUtils::clearLastUser() const {
  KeychainManager::deleteItem(KeychainManager::serviceName(), lastUserAccount);
}

bool VelqoFrameworkInternalUtils::userIdNamesAnotherRecord(const std::string& userId) {
  return userId == lastUserAccount || KeychainManager::userKeyNamesAnotherUsersItem(userId);
}

}  // namespace velqo
