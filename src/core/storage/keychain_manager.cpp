#include "core/storage/keychain_manager.hpp"

#include "core/storage/record_names.hpp"
#include "platform/diagnostics.hpp"
#include "platform/encoding.hpp"
#include "platform/files.hpp"

#include <filesystem>
#include <mutex>
#include <string_view>

#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/platform/item_store.hpp"

namespace velqo {

namespace {

// Held across the writes or deletes of a user's two token items, so two writers never leave
// one's access token beside the other's refresh token: threads of this process take turns at
// the mutex, processes sharing the data directory at the advisory lock of its lock file. Only the item store
// is called while it is held: diagnostic lines wait until it is released.
class TokenPairLock {
 public:
  TokenPairLock() : guard_(mutex()), directoryLock_(lockFilePath()) {}

 private:
  static std::mutex& mutex() {
    static std::mutex instance;
    return instance;
  }
  static std::filesystem::path lockFilePath() {
    try {
      return platform::applicationDataDirectory() / ".token-pair.lock";
    } catch (...) {
      return {};  // no directory to share: the mutex alone
    }
  }

  std::lock_guard<std::mutex> guard_;
  platform::files::LockFile directoryLock_;
};

constexpr std::string_view kTag = "[KeychainManager] ";
constexpr const char* kDefaultService = "com.velqo.sdk";
constexpr const char* kPersistentDeviceTokenSuffix = record_names::persistentDeviceTokenSuffix;
constexpr const char* kAccessTokenSuffix = record_names::accessTokenSuffix;
constexpr const char* kRefreshTokenSuffix = record_names::refreshTokenSuffix;
constexpr const char* kV3TokenIdSuffix = record_names::v3TokenIdSuffix;
constexpr auto kAccessibility = platform::Accessibility::whenUnlockedThisDeviceOnly;

// Lines name the operation and the status only: accounts carry user identifiers.
void logStatus(std::string_view what, platform::OSStatus status) {
  std::string line(kTag);
  line.append(what).append(": status ").append(std::to_string(status));
  const std::string message = platform::statusMessage(status);
  if (!message.empty()) line.append(" (").append(message).append(")");
  debugLog(line);
}

void logException(std::string_view what) {
  std::string line(kTag);
  line.append(what).append(": the item store is unavailable");
  debugLog(line);
}

std::optional<std::string> readText(const std::string& account) {
  auto data = KeychainManager::getData(KeychainManager::serviceName(), account);
  if (!data) return std::nullopt;
  ScopedWipe wipeData(*data);
  if (!platform::isValidUtf8(std::string_view(reinterpret_cast<const char*>(data->data()), data->size())))
    return std::nullopt;
  return textOf(*data);
}

bool saveText(const std::string& text, const std::string& account) {
  Bytes data = bytesOf(text);
  ScopedWipe wipeData(data);
  return KeychainManager::save(data, KeychainManager::serviceName(), account);
}

}  // namespace

std::string KeychainManager::serviceName() {
  try {
    auto identifier = platform::mainBundle().identifier;
    if (identifier && !identifier->empty()) return *identifier;
  } catch (...) {
    // Fall through to the default service.
  }
  return kDefaultService;
}

bool KeychainManager::save(const Bytes& data, const std::string& service, const std::string& key) {
  try {
    // One replace step rather than a delete followed by an add: a crash or a failure
    // between the two would lose the old item without storing the new one.
    const platform::OSStatus saved =
        platform::itemStore()->replaceGenericPassword(service, key, data, kAccessibility);
    if (saved == platform::status::success) return true;
    logStatus("Could not save the item", saved);
    return false;
  } catch (...) {
    logException("Could not save the item");
    return false;
  }
}

std::optional<Bytes> KeychainManager::getData(const std::string& service, const std::string& key) {
  try {
    Bytes out;
    const platform::OSStatus status = platform::itemStore()->copyGenericPassword(service, key, out);
    if (status != platform::status::success) {
      wipe(out);
      return std::nullopt;
    }
    return out;
  } catch (...) {
    logException("Could not read the item");
    return std::nullopt;
  }
}

void KeychainManager::deleteItem(const std::string& service, const std::string& key) {
  try {
    const platform::OSStatus status = platform::itemStore()->deleteGenericPassword(service, key);
    if (status == platform::status::itemNotFound) {
      logStatus("No item to delete", status);
    } else if (status != platform::status::success) {
      logStatus("Could not delete the item", status);
    }
  } catch (...) {
    logException("Could not delete the item");
  }
}

bool KeychainManager::saveV4PersistentDeviceToken(const std::string& token, const std::string& userKey) {
  return saveText(token, userKey + kPersistentDeviceTokenSuffix);
}

std::optional<std::string> KeychainManager::getV4PersistentDeviceToken(const std::string& userKey) {
  return readText(userKey + kPersistentDeviceTokenSuffix);
}

void KeychainManager::deleteV4PersistentDeviceToken(const std::string& userKey) {
  deleteItem(serviceName(), userKey + kPersistentDeviceTokenSuffix);
}

bool KeychainManager::saveJWTAccessToken(const std::string& token, const std::string& userKey) {
  return saveText(token, userKey + kAccessTokenSuffix);
}

std::optional<std::string> KeychainManager::getJWTAccessToken(const std::string& userKey) {
  return readText(userKey + kAccessTokenSuffix);
}

bool KeychainManager::saveJWTRefreshToken(const std::string& token, const std::string& userKey) {
  return saveText(token, userKey + kRefreshTokenSuffix);
}

bool KeychainManager::saveJWTTokenPair(const std::string& accessToken, const std::string& refreshToken,
                                       const std::string& userKey) {
  platform::detail::HeldLines lines;
  TokenPairLock pair;
  const bool accessSaved = saveJWTAccessToken(accessToken, userKey);
  const bool refreshSaved = saveJWTRefreshToken(refreshToken, userKey);
  return accessSaved && refreshSaved;
}

void KeychainManager::deleteJWTTokens(const std::string& userKey) {
  platform::detail::HeldLines lines;
  TokenPairLock pair;
  const std::string service = serviceName();
  deleteItem(service, userKey + kAccessTokenSuffix);
  deleteItem(service, userKey + kRefreshTokenSuffix);
}

void KeychainManager::deleteV3TokenId(const std::string& userKey) {
  deleteItem(serviceName(), userKey + kV3TokenIdSuffix);
}

}  // namespace velqo
