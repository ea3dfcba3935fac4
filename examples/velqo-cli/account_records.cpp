#include "account_records.hpp"

#include <velqo/platform/environment.hpp>
#include <velqo/platform/item_store.hpp>

#include <initializer_list>
#include <string_view>
#include <utility>

namespace velqo::cli {
namespace {

constexpr std::string_view kLastUserAccount = "lastuser";
constexpr std::string_view kAccessToken = "_jwtAccessToken";
constexpr std::string_view kRefreshToken = "_jwtRefreshToken";
constexpr std::string_view kPersistentDeviceToken = "_persistentDeviceToken_v4";
constexpr std::string_view kV3TokenId = "_tokenId_v3";

// The library's default service: the bundle identifier, else "com.velqo.sdk".
std::string defaultService() {
  const auto identifier = platform::mainBundle().identifier;
  return identifier && !identifier->empty() ? *identifier : "com.velqo.sdk";
}

// Anything but "not found" counts as stored: an item that cannot be read may still be there.
bool itemRemains(const std::string& service, const std::string& account) {
  Bytes data;
  const platform::OSStatus status = platform::itemStore()->copyGenericPassword(service, account, data);
  wipe(data);
  return status != platform::status::itemNotFound;
}

bool anyRemains(const std::string& service, const std::string& user,
                std::initializer_list<std::string_view> suffixes) {
  for (std::string_view suffix : suffixes) {
    if (itemRemains(service, user + std::string(suffix))) return true;
  }
  return false;
}

}  // namespace

bool sessionItemsRemain(const std::string& userId) {
  return anyRemains(defaultService(), userId, {kAccessToken, kRefreshToken});
}

bool userItemsRemain(const std::string& userId) {
  const std::string service = defaultService();
  const std::string v5Service = service + ".velqo.v5";
  if (anyRemains(service, userId, {"", kPersistentDeviceToken, kV3TokenId, kAccessToken, kRefreshToken}) ||
      itemRemains(v5Service, userId) || itemRemains(v5Service + ".pending", userId)) {
    return true;
  }
  const std::string tag = v5Service + ".v5.se." + userId;
  platform::KeyItem key;
  const platform::OSStatus status =
      platform::itemStore()->copyKey(Bytes(tag.begin(), tag.end()), platform::KeyType::ecPrimeRandom,
                                     platform::KeyToken::secureEnclave, key);
  wipe(key.keyData);
  return status != platform::status::itemNotFound;
}

bool lastUserRecordRemains() {
  return itemRemains(defaultService(), std::string(kLastUserAccount));
}

}  // namespace velqo::cli
