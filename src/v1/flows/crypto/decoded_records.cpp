#include "v1/flows/crypto/decoded_records.hpp"

#include <utility>

#include "platform/crypto.hpp"

namespace velqo::detail {

namespace pc = platform::crypto;

std::optional<VelqoV1DeviceCryptoRecord> DecodedRecords::find(const std::string& recordKey,
                                                              const Bytes& data) {
  const Bytes digest = pc::sha256(pc::view(data));
  std::lock_guard lock(mutex_);
  auto found = entries_.find(recordKey);
  if (found == entries_.end() || found->second.digest != digest) return std::nullopt;
  return found->second.record;
}

void DecodedRecords::keep(const std::string& recordKey, const Bytes& data,
                          const VelqoV1DeviceCryptoRecord& record) {
  if (record.wrapMetadata().kind() != VelqoV1WrapMetadata::Kind::secureEnclave) return;
  Entry entry{pc::sha256(pc::view(data)), record};
  std::lock_guard lock(mutex_);
  if (entries_.size() >= kCapacity && entries_.find(recordKey) == entries_.end()) entries_.clear();
  entries_.insert_or_assign(recordKey, std::move(entry));
}

void DecodedRecords::forget(const std::string& recordKey) {
  std::lock_guard lock(mutex_);
  entries_.erase(recordKey);
}

}  // namespace velqo::detail
