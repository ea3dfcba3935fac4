#pragma once

// The per-user hardware key of V5 device credentials and the shared secret it yields
// (not installed).

#include <string>
#include <utility>

#include "velqo/platform/bytes.hpp"
#include "velqo/platform/secure_keys.hpp"

namespace velqo {

/// How the shared secret of a V5 registration is recovered: by key agreement of the user's
/// hardware key with the stored ephemeral public key (65-byte uncompressed point), or, where
/// the hardware key store failed, the secret itself kept in the record. The bytes are wiped when
/// the value is destroyed.
class V5WrapMetadata {
 public:
  enum class Kind { secureEnclave, fallback };

  static V5WrapMetadata secureEnclave(Bytes ephemeralPublicKey) {
    return V5WrapMetadata(Kind::secureEnclave, std::move(ephemeralPublicKey));
  }
  static V5WrapMetadata fallback(Bytes sharedSecret) {
    return V5WrapMetadata(Kind::fallback, std::move(sharedSecret));
  }

  V5WrapMetadata(const V5WrapMetadata&) = default;
  V5WrapMetadata(V5WrapMetadata&&) noexcept = default;
  V5WrapMetadata& operator=(const V5WrapMetadata&) = default;
  V5WrapMetadata& operator=(V5WrapMetadata&&) noexcept = default;
  ~V5WrapMetadata() { wipe(value_); }

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  /// The ephemeral public key, or the fallback shared secret.
  [[nodiscard]] const Bytes& value() const noexcept { return value_; }

  friend bool operator==(const V5WrapMetadata&, const V5WrapMetadata&) = default;

 private:
  V5WrapMetadata(Kind kind, Bytes value) : kind_(kind), value_(std::move(value)) {}
  Kind kind_;
  Bytes value_;
};

/// A freshly made shared secret (32 bytes, wiped on destruction) with the metadata that
/// recovers it.
struct V5WrappedSecret {
  Bytes sharedSecret;
  V5WrapMetadata metadata;

  V5WrappedSecret(Bytes secret, V5WrapMetadata meta)
      : sharedSecret(std::move(secret)), metadata(std::move(meta)) {}
  V5WrappedSecret(const V5WrappedSecret&) = delete;
  V5WrappedSecret& operator=(const V5WrappedSecret&) = delete;
  V5WrappedSecret(V5WrappedSecret&&) noexcept = default;
  V5WrappedSecret& operator=(V5WrappedSecret&&) noexcept = default;
  ~V5WrappedSecret() { wipe(sharedSecret); }
};

/// The user's permanent P-256 key on the hardware token, found by the application tag
/// serviceName + ".v5.se." + user id, and the ECDH (X9.63 KDF with SHA-256, 32 bytes) that turns
/// it into the shared secret. Stateless beyond the service name; thread-safe (the key store
/// serialises its steps).
class V5SecureEnclaveWrapper {
 public:
  explicit V5SecureEnclaveWrapper(std::string serviceName) : serviceName_(std::move(serviceName)) {}

  [[nodiscard]] const std::string& serviceName() const noexcept { return serviceName_; }

  /// A new shared secret from the user's hardware key and a new ephemeral key. When the
  /// hardware key store fails in any way, 32 random bytes kept in the metadata instead. Throws
  /// V5CryptoError (randomGenerationFailed) only when even those cannot be drawn.
  [[nodiscard]] V5WrappedSecret wrapSharedSecret(const std::string& userId) const;
  /// The shared secret the metadata stands for. A missing hardware key is created afresh (and
  /// then yields another secret). Throws platform::PlatformError (the key store's error) or
  /// V5CredentialStoreError (corruptedSecrets, secureEnclaveUnavailable).
  [[nodiscard]] Bytes unwrapSharedSecret(const V5WrapMetadata& metadata, const std::string& userId) const;
  /// Deletes the user's hardware key; the outcome is ignored.
  void deleteKey(const std::string& userId) const noexcept;
  /// The user's hardware key, created when absent. Throws as unwrapSharedSecret.
  [[nodiscard]] platform::SecKeyRef loadOrCreateKey(const std::string& userId) const;

 private:
  [[nodiscard]] Bytes keyTag(const std::string& userId) const;
  [[nodiscard]] static Bytes keyAgreement(const platform::SecKeyRef& privateKey,
                                          const platform::SecKeyRef& publicKey);

  std::string serviceName_;
};

}  // namespace velqo
