#pragma once

// The device public keys the loopback reference service trusts, by hash index. The device-trust
// peer registers a device when it opens its keyset at request_challenge; the QR peer looks the
// key up to verify QR approvals. Tests may register a device directly.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velqo::localservice {

/// Thread-safe map from a hash index text (the base64 "hindex", sent as "h2index" by QR
/// approval) to the device's Ed25519 public key and the sk2 it was registered with.
class DeviceKeyRegistry {
 public:
  struct Entry {
    std::vector<std::uint8_t> publicKey;  ///< 32 bytes
    std::string sk2;                      ///< base64 as sent at registration; empty when unknown
  };

  /// Opens a keyset as the service does at request_challenge: `keyset` and `sk2` are standard
  /// base64; the keyset is a 12-byte nonce, the AES-256-GCM ciphertext and the 16-byte tag under
  /// sk2, whose plaintext starts with the 32-byte public key. Registers the key under `hindex`
  /// (replacing any earlier one) and returns true; false, registering nothing, when it does not
  /// open.
  bool registerKeyset(const std::string& hindex, const std::string& keyset, const std::string& sk2);
  /// Registers a raw 32-byte public key.
  void registerPublicKey(const std::string& hindex, std::vector<std::uint8_t> publicKey,
                         std::string sk2 = {});
  std::optional<Entry> find(const std::string& hindex) const;
  /// Forgets a device (the service no longer knows it); false when it was not registered.
  bool remove(const std::string& hindex);
  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace velqo::localservice
