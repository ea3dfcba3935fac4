#include "velqo_localservice/device_key_registry.hpp"

#include <utility>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo::localservice {

namespace {

std::optional<std::vector<std::uint8_t>> openPublicKey(const std::string& keyset, const std::string& sk2) {
  namespace crypto = platform::crypto;
  auto sealed = platform::base64Decode(keyset);
  auto key = platform::base64Decode(sk2);
  if (!sealed || !key || key->size() != 32 || sealed->size() < 12 + 32 + 16) return std::nullopt;
  auto plain = crypto::aesGcmOpen(crypto::view(*key), crypto::ByteView(sealed->data(), 12),
                                  crypto::ByteView(sealed->data() + 12, sealed->size() - 28),
                                  crypto::ByteView(sealed->data() + sealed->size() - 16, 16));
  if (!plain || plain->size() < 32) return std::nullopt;
  return std::vector<std::uint8_t>(plain->begin(), plain->begin() + 32);
}

}  // namespace

bool DeviceKeyRegistry::registerKeyset(const std::string& hindex, const std::string& keyset,
                                       const std::string& sk2) {
  auto publicKey = openPublicKey(keyset, sk2);
  if (!publicKey) return false;
  registerPublicKey(hindex, std::move(*publicKey), sk2);
  return true;
}

void DeviceKeyRegistry::registerKeysetLazily(const std::string& hindex, std::string keyset, std::string sk2) {
  std::lock_guard lock(mutex_);
  entries_.erase(hindex);
  sealed_[hindex] = Sealed{std::move(keyset), std::move(sk2)};
}

void DeviceKeyRegistry::registerPublicKey(const std::string& hindex, std::vector<std::uint8_t> publicKey,
                                          std::string sk2) {
  std::lock_guard lock(mutex_);
  sealed_.erase(hindex);
  entries_[hindex] = Entry{std::move(publicKey), std::move(sk2)};
}

void DeviceKeyRegistry::openLocked(const std::string& hindex) const {
  auto it = sealed_.find(hindex);
  if (it == sealed_.end()) return;
  if (auto publicKey = openPublicKey(it->second.keyset, it->second.sk2))
    entries_[hindex] = Entry{std::move(*publicKey), std::move(it->second.sk2)};
  sealed_.erase(it);
}

std::optional<DeviceKeyRegistry::Entry> DeviceKeyRegistry::find(const std::string& hindex) const {
  std::lock_guard lock(mutex_);
  openLocked(hindex);
  auto it = entries_.find(hindex);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

bool DeviceKeyRegistry::remove(const std::string& hindex) {
  std::lock_guard lock(mutex_);
  const bool wasSealed = sealed_.erase(hindex) != 0;
  return entries_.erase(hindex) != 0 || wasSealed;
}

std::size_t DeviceKeyRegistry::size() const {
  std::lock_guard lock(mutex_);
  while (!sealed_.empty()) openLocked(sealed_.begin()->first);
  return entries_.size();
}

}  // namespace velqo::localservice
