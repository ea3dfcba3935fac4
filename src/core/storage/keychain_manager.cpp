#include "core/storage/keychain_manager.hpp"

#include "core/storage/record_names.hpp"
#include "platform/diagnostics.hpp"
#include "platform/encoding.hpp"
#include "platform/files.hpp"
#include "platform/item_store_internal.hpp"

#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/platform/item_store.hpp"

namespace velqo {

namespace {

// Held across the reads, writes or deletes of a user's two token items, so two writers never
// leave one's access token beside the other's refresh token. Threads of this process take turns
// at the mutex. Processes take turns at the advisory lock of ".token-pair.lock" beside the items
// when a file item store keeps them: every process that shares the items shares that lock,
// whatever its data directory. A host's own store gets the mutex only. Only the item store is
// called while it is held: diagnostic lines wait until it is released.
class TokenPairLock {
 public:
  explicit TokenPairLock(const platform::ItemStore& store)
      : guard_(mutex()), itemsLock_(lockFilePath(store)) {}

 private:
  static std::mutex& mutex() {
    static std::mutex instance;
    return instance;
  }
  static std::filesystem::path lockFilePath(const platform::ItemStore& store) {
    const auto directory = platform::detail::fileItemStoreDirectory(store);
    // The store makes its directory on its first write anyway; made here, the first pair
    // written into a new directory is guarded too.
    if (!directory || !platform::files::ensureDirectory(*directory)) return {};  // the mutex alone
    return *directory / ".token-pair.lock";
  }

  std::lock_guard<std::mutex> guard_;
  platform::files::LockFile itemsLock_;
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

// The installed store; nothing (and a line) when there is none. Each step of a pair operation
// goes to the one store found at its start, so its lock and its items agree.
std::shared_ptr<platform::ItemStore> currentStore(std::string_view what) {
  try {
    if (auto store = platform::itemStore()) return store;
  } catch (...) {
    // Reported below.
  }
  logException(what);
  return nullptr;
}

// One step of the store; an exception from a host's store counts as a failure.
template <class Step>
platform::OSStatus statusOf(Step&& step) {
  try {
    return step();
  } catch (...) {
    return platform::status::notAvailable;
  }
}

bool saveIn(platform::ItemStore& store, const Bytes& data, const std::string& service,
            const std::string& key) {
  try {
    // One replace step rather than a delete followed by an add: a crash or a failure
    // between the two would lose the old item without storing the new one.
    const platform::OSStatus saved = store.replaceGenericPassword(service, key, data, kAccessibility);
    if (saved == platform::status::success) return true;
    logStatus("Could not save the item", saved);
  } catch (...) {
    logException("Could not save the item");
  }
  return false;
}

bool saveTextIn(platform::ItemStore& store, const std::string& text, const std::string& service,
                const std::string& key) {
  Bytes data = bytesOf(text);
  ScopedWipe wipeData(data);
  return saveIn(store, data, service, key);
}

void deleteIn(platform::ItemStore& store, const std::string& service, const std::string& key) {
  try {
    const platform::OSStatus status = store.deleteGenericPassword(service, key);
    if (status == platform::status::itemNotFound) {
      logStatus("No item to delete", status);
    } else if (status != platform::status::success) {
      logStatus("Could not delete the item", status);
    }
  } catch (...) {
    logException("Could not delete the item");
  }
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
  const auto store = currentStore("Could not save the item");
  return store && saveIn(*store, data, service, key);
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
  if (const auto store = currentStore("Could not delete the item")) deleteIn(*store, service, key);
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
  const auto store = currentStore("Could not save the token pair");
  if (!store) return false;
  TokenPairLock pair(*store);
  const std::string service = serviceName();
  const std::string accessAccount = userKey + kAccessTokenSuffix;
  // The access token as it was, put back when the refresh token cannot be written: a failed
  // store leaves the earlier pair (or none), never half of the new one. A failed write keeps
  // the item it would have replaced, so the refresh token needs no copy.
  Bytes earlierAccess;
  ScopedWipe wipeEarlier(earlierAccess);
  const platform::OSStatus read =
      statusOf([&] { return store->copyGenericPassword(service, accessAccount, earlierAccess); });
  if (read != platform::status::success && read != platform::status::itemNotFound) {
    logStatus("Could not read the token pair", read);
    return false;
  }
  if (!saveTextIn(*store, accessToken, service, accessAccount)) return false;
  if (saveTextIn(*store, refreshToken, service, userKey + kRefreshTokenSuffix)) return true;
  const platform::OSStatus restored = statusOf([&] {
    return read == platform::status::success
               ? store->replaceGenericPassword(service, accessAccount, earlierAccess, kAccessibility)
               : store->deleteGenericPassword(service, accessAccount);
  });
  if (restored != platform::status::success)
    logStatus("Could not put the earlier access token back", restored);
  return false;
}

void KeychainManager::deleteJWTTokens(const std::string& userKey) {
  platform::detail::HeldLines lines;
  const auto store = currentStore("Could not delete the token pair");
  if (!store) return;
  TokenPairLock pair(*store);
  const std::string service = serviceName();
  deleteIn(*store, service, userKey + kAccessTokenSuffix);
  deleteIn(*store, service, userKey + kRefreshTokenSuffix);
}

void KeychainManager::deleteV3TokenId(const std::string& userKey) {
  deleteItem(serviceName(), userKey + kV3TokenIdSuffix);
}

}  // namespace velqo
