#include "velqo_localservice/device_key_registry.hpp"

#include <utility>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo::localservice {

bool DeviceKeyRegistry::registerKeyset(const std::string& hindex, const std::string& keyset,
                                       const std::string& sk2) {
  namespace crypto = platform::crypto;
  auto sealed = platform::base64Decode(keyset);
  auto key = platform::base64Decode(sk2);
  if (!sealed || !key || key->size() != 32 || sealed->size() < 12 + 32 + 16) return false;
  auto plain = crypto::aesGcmOpen(crypto::view(*key), crypto::ByteView(sealed->data(), 12),
                                  crypto::ByteView(sealed->data() + 12, sealed->size() - 28),
                                  crypto::ByteView(sealed->data() + sealed->size() - 16, 16));
  if (!plain || plain->size() < 32) return false;
  registerPublicKey(hindex, std::vector<std::uint8_t>(plain->begin(), plain->begin() + 32), sk2);
  return true;
}

void DeviceKeyRegistry::registerPublicKey(const std::string& hindex, std::vector<std::uint8_t> publicKey,
                                          std::string sk2) {
  std::lock_guard lock(mutex_);
  entries_[hindex] = Entry{std::move(publicKey), std::move(sk2)};
}

std::optional<DeviceKeyRegistry::Entry> DeviceKeyRegistry::find(const std::string& hindex) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(hindex);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

bool DeviceKeyRegistry::remove(const std::string& hindex) {
  std::lock_guard lock(mutex_);
  return entries_.erase(hindex) != 0;
}

std::size_t DeviceKeyRegistry::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace velqo::localservice
