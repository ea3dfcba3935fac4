#pragma once

// Device credential records already decoded, kept with the digest of the stored bytes they
// came from (internal to the store).

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "velqo/platform/bytes.hpp"
#include "velqo/v1/flows/device_crypto_store.hpp"

namespace velqo::detail {

// A sign-in reads its record twice (the start's credential lookup, then the device
// challenge); loading an unchanged record again costs a digest of the stored bytes instead of
// a JSON decode. The digest is of exactly what the item store returned, so a record replaced
// in the store (also by another process) is never served stale. Only records whose secret is
// recovered through the hardware key are kept: a fallback record carries the shared secret
// itself, and that is not held beyond its use. Bounded: past the capacity it starts empty.
// Thread-safe.
class DecodedRecords {
 public:
  /// The record decoded earlier from exactly `data` under the key, if kept.
  [[nodiscard]] std::optional<VelqoV1DeviceCryptoRecord> find(const std::string& recordKey,
                                                              const Bytes& data);
  /// Keeps the record decoded from `data` (fallback records are not kept).
  void keep(const std::string& recordKey, const Bytes& data, const VelqoV1DeviceCryptoRecord& record);
  /// Drops what is kept under the key.
  void forget(const std::string& recordKey);

 private:
  static constexpr std::size_t kCapacity = 4096;
  struct Entry {
    Bytes digest;
    VelqoV1DeviceCryptoRecord record;
  };
  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace velqo::detail
