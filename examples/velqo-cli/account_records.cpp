#include "account_records.hpp"

#include <initializer_list>
#include <string_view>

namespace velqo::cli {
namespace {

constexpr std::string_view kLastUserAccount = "lastuser";
constexpr std::string_view kAccessToken = "_jwtAccessToken";
constexpr std::string_view kRefreshToken = "_jwtRefreshToken";
constexpr std::string_view kPersistentDeviceToken = "_persistentDeviceToken_v4";
constexpr std::string_view kV3TokenId = "_tokenId_v3";

}  // namespace

bool userIdNamesAnotherRecord(const std::string& userId) {
  if (userId == kLastUserAccount) return true;
  for (std::string_view suffix : {kAccessToken, kRefreshToken, kPersistentDeviceToken, kV3TokenId}) {
    if (userId.ends_with(suffix)) return true;
  }
  return false;
}

bool tellsOfAFailedRemoval(std::string_view line) {
  for (std::string_view failure :
       {"[KeychainManager] Could not delete the item",
        "[V5CredentialStore] Could not delete the Secure Enclave key", "[UserDefaults] Could not write "}) {
    if (line.starts_with(failure)) return true;
  }
  return false;
}

}  // namespace velqo::cli
