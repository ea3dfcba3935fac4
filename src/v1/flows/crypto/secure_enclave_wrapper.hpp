#pragma once

// The hardware-key side of the V1 device credential store (internal): the per-credential
// P-256 key on the hardware token, the ECDH with its compatibility variants, and the rule
// that decides when a failing hardware token gives way to a random fallback secret.

#include <exception>
#include <memory>
#include <string>

#include "velqo/platform/bytes.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo/v1/flows/device_crypto_store.hpp"

namespace velqo::detail {

class KeptSecrets;

class VelqoV1SecureEnclaveWrapper {
 public:
  VelqoV1SecureEnclaveWrapper(std::string serviceName, bool useSecureEnclave);
  ~VelqoV1SecureEnclaveWrapper();
  VelqoV1SecureEnclaveWrapper(const VelqoV1SecureEnclaveWrapper&) = delete;
  VelqoV1SecureEnclaveWrapper& operator=(const VelqoV1SecureEnclaveWrapper&) = delete;

  /// Whether a secret agreed with the hardware key is kept for the next recovery of the same
  /// credential (see KeptSecrets in the source).
  enum class Keep { no, forNextUse };

  const std::string& serviceName() const noexcept { return serviceName_; }
  bool useSecureEnclave() const noexcept { return useSecureEnclave_; }

  /// A new shared secret for the record key (hardware ECDH, else the fallback when the error
  /// allows it), kept for the next recovery like `Keep::forNextUse`. Throws the error that
  /// stopped it otherwise.
  VelqoV1SharedSecret createSharedSecret(const std::string& recordKey) const;
  /// The secret recovered from stored metadata; no fallback on this road. Throws. A secret kept
  /// from an earlier call with `Keep::forNextUse` is handed out (once) instead of agreeing it
  /// again, when it was agreed with the same hardware key and the same stored public point.
  Bytes sharedSecret(const std::string& recordKey, const VelqoV1WrapMetadata& metadata,
                     Keep keep = Keep::no) const;

  /// The record key's hardware key, made when there is none. Throws.
  platform::SecKeyRef loadOrCreateKey(const std::string& recordKey) const;
  /// A new permanent hardware key under the tag. Throws.
  platform::SecKeyRef createKey(const Bytes& tag) const;
  /// Removes the record key's hardware key (and any secret kept for it); the status is ignored.
  void deleteKey(const std::string& recordKey) const noexcept;

  /// A public key's 65-byte point. Throws.
  Bytes exportPublicKey(const platform::SecKeyRef& key) const;
  /// The 32-byte X9.63 SHA-256 ECDH secret, trying the four variants in order. Throws.
  Bytes keyAgreement(const platform::SecKeyRef& privateKey, const platform::SecKeyRef& publicKey) const;

  /// True for the store's secureEnclaveUnavailable and for OSStatus-domain errors with code
  /// -25291 (not available) or -4 (unimplemented).
  static bool allowsFallback(const std::exception_ptr& error) noexcept;
  /// "domain=... code=... message=..." (+ " secMessage=..." for OSStatus errors with a text).
  static std::string errorDescription(const std::exception_ptr& error);

  /// The application tag of the record key's hardware key.
  Bytes keyTag(const std::string& recordKey) const;

 private:
  std::string serviceName_;
  bool useSecureEnclave_;
  std::shared_ptr<KeptSecrets> kept_;
};

/// Any error seen as a platform error object (domain, code, localized description).
platform::PlatformError asPlatformError(const std::exception_ptr& error);

}  // namespace velqo::detail
