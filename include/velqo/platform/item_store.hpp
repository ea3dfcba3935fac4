#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "velqo/export.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/error.hpp"

namespace velqo::platform {

namespace status {
/// The backing storage could not be read or written (file store).
inline constexpr OSStatus ioError = -36;
}  // namespace status

/// When an item may be read. The library always asks for `whenUnlockedThisDeviceOnly`.
enum class Accessibility { whenUnlockedThisDeviceOnly, afterFirstUnlockThisDeviceOnly, whenUnlocked };

/// Key type of key items: elliptic-curve prime random (P-256 here).
enum class KeyType { ecPrimeRandom };
/// Where a key lives: a software key, or a key on the hardware token.
enum class KeyToken { software, secureEnclave };

/// A key item: a private key kept by application tag. `keyData` is the private key in the
/// store's own serialised form (opaque to callers).
struct KeyItem {
  Bytes applicationTag;
  KeyType keyType = KeyType::ecPrimeRandom;
  int sizeInBits = 256;
  KeyToken token = KeyToken::software;
  bool permanent = true;
  Accessibility accessibility = Accessibility::whenUnlockedThisDeviceOnly;
  Bytes keyData;
};

/// The item store ("keychain"): generic-password items found by service and account, and
/// key items found by application tag, with the platform's statuses (status::success,
/// itemNotFound, duplicateItem, badParameter, ...). Every operation is one atomic step and
/// thread-safe. Hosts may install their own backend with `setItemStore`. The library writes
/// some items in pairs (a user's access and refresh tokens); with a host's own backend, the
/// writers of a pair take turns within this process only: processes that share such a
/// backend's items are not kept from mixing a pair.
class VELQO_API ItemStore {
 public:
  virtual ~ItemStore() = default;

  /// Adds a generic-password item; duplicateItem when one with that service and account exists.
  virtual OSStatus addGenericPassword(const std::string& service, const std::string& account,
                                      const Bytes& data, Accessibility accessibility) = 0;
  /// Copies the item's data into `out`; itemNotFound when there is none.
  virtual OSStatus copyGenericPassword(const std::string& service, const std::string& account,
                                       Bytes& out) = 0;
  /// Deletes the item; itemNotFound when there is none.
  virtual OSStatus deleteGenericPassword(const std::string& service, const std::string& account) = 0;
  /// Stores the item whether or not one with that service and account exists: afterwards
  /// the store holds either the old item or the new one, never neither (a crash or a
  /// failure keeps the old one). The library's backends replace in one atomic step; the
  /// default, for host backends that do not override it, copies the old item, deletes it,
  /// adds the new one and puts the old one back when the add fails.
  virtual OSStatus replaceGenericPassword(const std::string& service, const std::string& account,
                                          const Bytes& data, Accessibility accessibility);

  /// Adds a key item; duplicateItem when a key with that tag, type and token exists.
  virtual OSStatus addKey(const KeyItem& item) = 0;
  /// Copies the key item with that tag, type and token into `out`; itemNotFound when absent.
  virtual OSStatus copyKey(const Bytes& applicationTag, KeyType keyType, KeyToken token, KeyItem& out) = 0;
  /// Deletes the key items with that tag, type and token; itemNotFound when there is none.
  virtual OSStatus deleteKey(const Bytes& applicationTag, KeyType keyType, KeyToken token) = 0;
};

/// The default backend: one file per item under `directory` (mode 0600 in a 0700
/// directory), written to a temporary file, flushed and renamed, so a crash or a concurrent
/// reader never sees a torn item. The directory is created on the first add. A file that
/// cannot be decoded as the item asked for counts as absent (itemNotFound; an add replaces
/// it, a delete removes it); a file that cannot be read or written gives status::ioError.
/// Processes sharing the directory are serialised by an advisory lock (flock) on a lock file
/// in it (".items.lock"), so each operation is also one step against other processes; the
/// library's writes of a user's token pair also take ".token-pair.lock" there, so processes
/// sharing the directory never mix a pair. Temporary files that a crashed writer left behind
/// are removed when the store first uses its directory.
VELQO_API std::shared_ptr<ItemStore> makeFileItemStore(std::filesystem::path directory);

/// An in-memory backend, for hosts that keep nothing on disk (a kiosk, a test harness).
/// Items live as long as the store; their secret bytes are wiped when they go.
class VELQO_API InMemoryItemStore : public ItemStore {
 public:
  static std::shared_ptr<InMemoryItemStore> create();
  /// Number of stored items (both kinds).
  virtual std::size_t itemCount() const = 0;
};

/// The store every library component uses. Defaults to a file store under
/// `applicationDataDirectory() / "keychain"`, created on first use.
VELQO_API std::shared_ptr<ItemStore> itemStore();
/// Installs another store (a host's own backend, or a test's in-memory store).
/// Passing nullptr goes back to the default.
VELQO_API void setItemStore(std::shared_ptr<ItemStore> store);

}  // namespace velqo::platform
