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
  /// The same, but the keyset is opened only when the device is first looked up (a service
  /// loading many devices from its state file opens only those it meets); one that does not
  /// open is then forgotten.
  void registerKeysetLazily(const std::string& hindex, std::string keyset, std::string sk2);
  /// Registers a raw 32-byte public key.
  void registerPublicKey(const std::string& hindex, std::vector<std::uint8_t> publicKey,
                         std::string sk2 = {});
  std::optional<Entry> find(const std::string& hindex) const;
  /// Forgets a device (the service no longer knows it); false when it was not registered.
  bool remove(const std::string& hindex);
  std::size_t size() const;

 private:
  struct Sealed {
    std::string keyset;
    std::string sk2;
  };
  // Opens a lazily registered keyset, if any, into entries_. Caller holds the mutex.
  void openLocked(const std::string& hindex) const;

  mutable std::mutex mutex_;
  mutable std::map<std::string, Entry> entries_;
  mutable std::map<std::string, Sealed> sealed_;  ///< registered, not opened yet
};

}  // namespace velqo::localservice
