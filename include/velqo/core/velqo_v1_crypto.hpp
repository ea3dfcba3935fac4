#pragma once

// The V1 device-trust crypto suite: random bytes, SHA-256, HKDF-SHA256 key derivation under the
// device-trust labels, AES-256-GCM sealing and opening of the device-trust values, the device
// fingerprint digest (DFP), the hash index (HI) and Ed25519 challenge signing.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "velqo/export.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/error.hpp"

namespace velqo {

/// A failure of the device-trust crypto suite. Domain "VelqoV1CryptoError", code = the case's
/// position (0 for randomGenerationFailed).
class VELQO_API VelqoV1CryptoError : public platform::PlatformError {
 public:
  enum class Case {
    randomGenerationFailed,     ///< the random generator failed; `status()` gives its status
    nonceInitializationFailed,  ///< the nonce is not usable by the cipher (not 12 bytes)
    encryptionFailed,           ///< the cipher could not seal (e.g. a key that is not 32 bytes)
    decryptionFailed,           ///< the sealed value did not authenticate under the key and nonce
    invalidCiphertext,          ///< the sealed value or its plaintext is too short
    invalidChallengeEncoding,   ///< unknown challenge encoding, or a malformed hex challenge
    invalidChallenge,           ///< a base64 challenge that does not decode
    invalidInfoString,          ///< the sealed info string differs from the expected one
    invalidKeyset,              ///< the opened keyset is shorter than 33 bytes
    signingFailed,              ///< the Ed25519 key could not be made or could not sign
  };

  static VelqoV1CryptoError randomGenerationFailed(std::int32_t status);
  static VelqoV1CryptoError nonceInitializationFailed();
  static VelqoV1CryptoError encryptionFailed();
  static VelqoV1CryptoError decryptionFailed();
  static VelqoV1CryptoError invalidCiphertext();
  static VelqoV1CryptoError invalidChallengeEncoding();
  static VelqoV1CryptoError invalidChallenge();
  static VelqoV1CryptoError invalidInfoString();
  static VelqoV1CryptoError invalidKeyset();
  static VelqoV1CryptoError signingFailed();

  Case errorCase() const noexcept { return case_; }
  /// The generator's status for randomGenerationFailed, else 0.
  std::int32_t status() const noexcept { return status_; }

 private:
  VelqoV1CryptoError(Case errorCase, std::int32_t status, std::string description);
  Case case_;
  std::int32_t status_;
};

/// The device-trust operations. Stateless and thread-safe; every operation runs synchronously on
/// the caller's thread. Failures throw `VelqoV1CryptoError`. Returned keys and secrets belong to
/// the caller, who should wipe them (velqo::wipe) when done.
class VELQO_API VelqoV1Crypto {
 public:
  VelqoV1Crypto() = delete;

  /// The sealed private key: ciphertext followed by the 16-byte tag, and the 12-byte nonce used.
  struct SealedPrivateKey {
    Bytes combinedprs;
    Bytes iv0;
    bool operator==(const SealedPrivateKey&) const = default;
  };
  /// The opened keyset: the 32-byte public key and the combined salt that followed it.
  struct OpenedKeyset {
    Bytes publicKey;
    Bytes combinedSalt;
    bool operator==(const OpenedKeyset&) const = default;
  };
  /// A challenge signature: base64 of the 64-byte Ed25519 signature, and base64 of the message.
  struct ChallengeSignature {
    std::string signature;
    std::string mapp;
    bool operator==(const ChallengeSignature&) const = default;
  };

  /// `count` cryptographically random bytes; throws randomGenerationFailed with the status.
  static Bytes randomBytes(std::size_t count);
  /// The 32-byte SHA-256 digest.
  static Bytes sha256(const Bytes& data);

  /// HKDF-SHA256, 32 bytes, info "Symmetrickey0" / "Symmetrickey2" / "HDS".
  static Bytes deriveSK0(const Bytes& sharedSecret, const Bytes& salt0);
  static Bytes deriveSK2(const Bytes& sharedSecret, const Bytes& salt1);
  static Bytes deriveHDS(const Bytes& sharedSecret, const Bytes& salt2);
  /// HKDF-SHA256, 32 bytes, salt = SHA-256 of combinedPrs, info "Symmetrickey1".
  static Bytes deriveSK1(const Bytes& sharedSecret, const Bytes& combinedPrs);

  /// Seals the private key under sk0 with nonce iv0 (12 fresh random bytes when absent).
  static SealedPrivateKey encryptCombinedPrs(const Bytes& privateKey, const Bytes& sk0,
                                             const std::optional<Bytes>& iv0 = std::nullopt);
  /// Seals salt0 followed by infoData under sk1; returns nonce || ciphertext || tag.
  static Bytes encryptCombinedSalt(const Bytes& salt0, const Bytes& infoData, const Bytes& sk1,
                                   const std::optional<Bytes>& iv1 = std::nullopt);
  /// Seals publicKey followed by combinedSalt under sk2; returns nonce || ciphertext || tag.
  static Bytes encryptKeyset(const Bytes& publicKey, const Bytes& combinedSalt, const Bytes& sk2,
                             const std::optional<Bytes>& iv2 = std::nullopt);

  /// Opens ciphertext || tag with nonce iv0 under sk0. Fewer than 17 bytes: invalidCiphertext;
  /// a nonce that is not 12 bytes: nonceInitializationFailed; no authentication: decryptionFailed.
  static Bytes decryptCombinedPrs(const Bytes& combinedPrs, const Bytes& iv0, const Bytes& sk0);
  /// Opens a nonce || ciphertext || tag blob under sk1 and returns salt0 (its first 32 bytes).
  /// Fewer than 29 bytes or a plaintext under 32 bytes: invalidCiphertext; no authentication:
  /// decryptionFailed; the bytes after salt0 differ from expectedInfo: invalidInfoString.
  static Bytes decryptCombinedSalt(const Bytes& combinedSalt, const Bytes& sk1, const Bytes& expectedInfo);
  /// Opens a nonce || ciphertext || tag blob under sk2. Fewer than 28 bytes: invalidCiphertext;
  /// no authentication: decryptionFailed; a plaintext under 33 bytes: invalidKeyset.
  static OpenedKeyset decryptKeyset(const Bytes& keyset, const Bytes& sk2);

  /// UTF-8 of bui + osType + algorithm + "v1".
  static Bytes makeInfoString(std::string_view bui, std::string_view osType, std::string_view algorithm);
  /// SHA-256 of hds || UTF-8 bundleId || UTF-8 osType.
  static Bytes computeDFP(const Bytes& hds, std::string_view bundleId, std::string_view osType);
  /// Standard base64 of SHA-256 over salt1, salt2, sk2, combinedPrs, aPeer, sharedSecret,
  /// UTF-8 userId, UTF-8 domain and dfp, in this order.
  static std::string computeHI(const Bytes& salt1, const Bytes& salt2, const Bytes& sk2,
                               const Bytes& combinedPrs, const Bytes& aPeer, const Bytes& sharedSecret,
                               std::string_view userId, std::string_view domain, const Bytes& dfp);
  /// Decodes the challenge by its encoding ("base64" or "hex", compared after lower-casing) and
  /// signs challenge bytes || UTF-8 domain with the raw 32-byte Ed25519 key. Failures:
  /// invalidChallenge (bad base64), invalidChallengeEncoding (bad hex or unknown encoding),
  /// signingFailed (a key that is not 32 bytes, or a signing failure).
  static ChallengeSignature signChallenge(std::string_view challenge, std::string_view challengeEncoding,
                                          std::string_view domain, const Bytes& privateKeyData);
};

/// Names of the device-trust algorithm.
class VELQO_API VelqoV1CryptoSuite {
 public:
  VelqoV1CryptoSuite() = delete;

  /// The canonical algorithm name.
  static constexpr std::string_view algorithmP256 = "ECDH P-256+Ed25519";

  /// The canonical name of an algorithm text, or nothing for an algorithm the suite lacks.
  /// Blank text means the canonical algorithm; spaces and case do not matter; any text naming
  /// P-256 ("p-256" or "p256") or one of the known spellings maps to the canonical name.
  static std::optional<std::string> canonicalAlgorithm(std::string_view algorithm);
  /// Two algorithm texts name the same algorithm: equal canonical names when both have one,
  /// else equal texts ignoring case.
  static bool areCompatible(std::string_view a, std::string_view b);
};

}  // namespace velqo
