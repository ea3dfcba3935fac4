#pragma once

// Generic-password items of the item store ("keychain") by service and account, and the
// per-user token items of the default service.

#include <optional>
#include <string>

#include "velqo/platform/bytes.hpp"

namespace velqo {

/// Stateless keychain access over platform::itemStore(). Every operation is synchronous,
/// thread-safe (the store serialises its steps) and never throws: failures are reported by the
/// result and, where noted, as a "[KeychainManager] " diagnostic line.
class KeychainManager {
 public:
  KeychainManager() = delete;

  /// The default service: the main bundle identifier when non-empty, else "com.velqo.sdk".
  static std::string serviceName();

  /// Stores the data as the item of that service and account, accessible when unlocked on
  /// this device only, replacing any earlier item in one step (a failure or a crash keeps the
  /// earlier item). True exactly when the item was stored.
  static bool save(const Bytes& data, const std::string& service, const std::string& key);
  /// The item's data; nothing when there is no item or the store fails.
  static std::optional<Bytes> getData(const std::string& service, const std::string& key);
  /// Deletes the item; a missing item or a failure only composes a diagnostic line.
  static void deleteItem(const std::string& service, const std::string& key);

  /// The persistent V4 device token under user + "_persistentDeviceToken_v4".
  static bool saveV4PersistentDeviceToken(const std::string& token, const std::string& userKey);
  /// Nothing when absent or not UTF-8.
  static std::optional<std::string> getV4PersistentDeviceToken(const std::string& userKey);
  static void deleteV4PersistentDeviceToken(const std::string& userKey);

  /// The JWT access token under user + "_jwtAccessToken".
  static bool saveJWTAccessToken(const std::string& token, const std::string& userKey);
  /// Nothing when absent or not UTF-8.
  static std::optional<std::string> getJWTAccessToken(const std::string& userKey);
  /// The JWT refresh token under user + "_jwtRefreshToken".
  static bool saveJWTRefreshToken(const std::string& token, const std::string& userKey);
  /// Saves the user's access and refresh tokens as one pair: writers of the pair take turns, so
  /// two of them never leave one's access token beside the other's refresh token. Threads of
  /// this process always take turns; processes do when they share a file item store (its lock
  /// file ".token-pair.lock" is beside the items, whatever their data directories). A host's
  /// own item store gets the in-process turns only. True when both saves succeeded; on false
  /// the user keeps the earlier pair (or none), never half of the new one.
  static bool saveJWTTokenPair(const std::string& accessToken, const std::string& refreshToken,
                               const std::string& userKey);
  /// Deletes both JWT token items of the user, taking its turn with the pair's writers.
  static void deleteJWTTokens(const std::string& userKey);
  /// Deletes the item user + "_tokenId_v3".
  static void deleteV3TokenId(const std::string& userKey);
};

}  // namespace velqo
