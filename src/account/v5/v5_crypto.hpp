#pragma once

// Key derivation, sealing and challenge signing of V5 device credentials (not installed).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/crypto/credential_crypto.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/error.hpp"

namespace velqo {

/// A failure of a V5 crypto operation. Domain "V5CryptoError", code = the case's position.
class V5CryptoError : public platform::PlatformError {
 public:
  enum class Case {
    randomGenerationFailed,     ///< the random generator failed; `status()` gives its status
    nonceInitializationFailed,  ///< a 12-byte nonce could not be built
    encryptionFailed,           ///< sealing failed (e.g. a key that is not 32 bytes)
    decryptionFailed,           ///< the blob did not authenticate under the key
    invalidCiphertext,          ///< a blob under 29 bytes, or a combined salt under 32 bytes
    invalidChallenge,           ///< a challenge that is neither hexadecimal nor base64
    signingFailed,              ///< the private key is not a valid Ed25519 key
    invalidInfoString,          ///< the sealed info string differs from the expected one
  };

  static V5CryptoError randomGenerationFailed(std::int32_t status);
  static V5CryptoError make(Case errorCase);

  [[nodiscard]] Case errorCase() const noexcept { return case_; }
  /// The generator's status for randomGenerationFailed, else 0.
  [[nodiscard]] std::int32_t status() const noexcept { return status_; }

 private:
  /// The description carries the generator's status when one is given.
  V5CryptoError(Case errorCase, std::optional<std::int32_t> generatorStatus);
  Case case_;
  std::int32_t status_;
};

/// Stateless V5 crypto operations; thread-safe and synchronous. Failures throw V5CryptoError.
/// Keys are 32-byte byte strings; returned secrets belong to the caller, who wipes them.
///
/// Sealed blob: 12-byte nonce || ciphertext || 16-byte tag, nothing else.
class V5Crypto {
 public:
  V5Crypto() = delete;

  /// The device-credential algorithm of every V5 registration.
  static constexpr std::string_view algorithm = "ECDH P-256+Ed25519";

  /// The four HKDF labels.
  static constexpr std::string_view labelSK0 = "velqo.v5.sk0";
  static constexpr std::string_view labelSK1 = "velqo.v5.sk1";
  static constexpr std::string_view labelSK2 = "velqo.v5.sk2";
  static constexpr std::string_view labelHDS = "velqo.v5.hds";

  /// The signature over a challenge: base64 of the 64-byte Ed25519 signature and base64 of the
  /// signed message.
  struct SignedChallenge {
    std::string signature;
    std::string message;
    bool operator==(const SignedChallenge&) const = default;
  };

  /// The key schedule under the four labels: HKDF-SHA256, 32 bytes; sk1 is salted with the
  /// SHA-256 of combinedPrs. Never fails.
  static constexpr detail::LabelledKeySchedule keySchedule{{labelSK0, labelSK1, labelSK2, labelHDS}};

  /// `count` random bytes (0 gives none); randomGenerationFailed with the generator's status.
  [[nodiscard]] static Bytes randomBytes(std::size_t count) {
    return detail::randomBytesOrThrow<V5CryptoError>(count);
  }
  /// HKDF-SHA256 (extract then expand), 32 bytes. Never fails.
  [[nodiscard]] static Bytes deriveKey(const Bytes& inputKeyMaterial, const Bytes& salt,
                                       std::string_view info) {
    return detail::LabelledKeySchedule::derive(inputKeyMaterial, salt, info);
  }
  [[nodiscard]] static Bytes deriveSK0(const Bytes& sharedSecret, const Bytes& salt) {
    return keySchedule.sk0(sharedSecret, salt);
  }
  [[nodiscard]] static Bytes deriveSK2(const Bytes& sharedSecret, const Bytes& salt) {
    return keySchedule.sk2(sharedSecret, salt);
  }
  [[nodiscard]] static Bytes deriveHDS(const Bytes& sharedSecret, const Bytes& salt) {
    return keySchedule.hds(sharedSecret, salt);
  }
  /// HKDF with the raw SHA-256 of combinedPrs as salt.
  [[nodiscard]] static Bytes deriveSK1(const Bytes& sharedSecret, const Bytes& combinedPrs) {
    return keySchedule.sk1(sharedSecret, combinedPrs);
  }

  /// AES-256-GCM under a fresh random nonce; returns the sealed blob.
  [[nodiscard]] static Bytes seal(const Bytes& key, const Bytes& plaintext,
                                  const std::optional<Bytes>& additionalData = std::nullopt);
  /// Opens a sealed blob: invalidCiphertext under 29 bytes, decryptionFailed when it does not
  /// authenticate (wrong key, changed byte, other additional data).
  [[nodiscard]] static Bytes open(const Bytes& key, const Bytes& sealed,
                                  const std::optional<Bytes>& additionalData = std::nullopt);
  /// Opens the service's combined salt and returns salt0 (its first 32 bytes); the bytes after
  /// it must equal `expectedInfo` exactly (invalidInfoString), a plaintext under 32 bytes is
  /// invalidCiphertext.
  [[nodiscard]] static Bytes openCombinedSalt(const Bytes& sealed, const Bytes& key,
                                              const Bytes& expectedInfo);
  /// Signs the challenge bytes followed by the UTF-8 context (when present and not empty) with
  /// the raw 32-byte Ed25519 key. The challenge is read as hexadecimal when it is valid
  /// hexadecimal, else as strict standard base64, else invalidChallenge.
  [[nodiscard]] static SignedChallenge signChallenge(std::string_view challenge,
                                                     const std::optional<std::string>& context,
                                                     const Bytes& privateKey);
  /// Pairs of hexadecimal digits in either case; nothing for an odd length or a non-hex pair.
  [[nodiscard]] static std::optional<Bytes> dataFromHex(std::string_view text);
};

}  // namespace velqo
