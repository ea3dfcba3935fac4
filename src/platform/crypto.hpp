#pragma once

// Cryptographic primitives over OpenSSL 3, for the library's own use (not installed).
// Every function is thread-safe. Keys and secrets are passed as Bytes; callers wipe them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "velqo/platform/bytes.hpp"

namespace velqo::platform::crypto {

using ByteView = std::span<const std::uint8_t>;
inline ByteView view(const Bytes& b) {
  return ByteView(b.data(), b.size());
}
inline ByteView view(std::string_view s) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

/// The status randomBytes reports when the generator fails.
inline constexpr int randomFailureStatus = -1;

/// Fills `out` with `count` cryptographically secure random bytes. Returns 0 on success,
/// else a non-zero platform status (randomFailureStatus; the buffer is then zeroed).
int randomBytes(std::uint8_t* out, std::size_t count) noexcept;
/// `count` random bytes; throws std::runtime_error when the generator fails.
Bytes randomBytes(std::size_t count);

/// SHA-256 digest (32 bytes); throws std::runtime_error if OpenSSL fails.
Bytes sha256(ByteView data);
/// Lower-case hexadecimal SHA-256 of the data (64 characters).
std::string sha256Hex(ByteView data);

/// HKDF-SHA256 (RFC 5869). An empty salt or info is left out (the RFC's defaults apply).
/// A length of 0 gives no bytes; a length above 255 * 32 throws std::invalid_argument, and a
/// failure inside OpenSSL throws std::runtime_error.
Bytes hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, std::size_t length);

/// AES-256-GCM with a 12-byte nonce and a 16-byte tag.
struct GcmSealed {
  Bytes ciphertext;
  Bytes tag;  ///< 16 bytes
};
/// Seals; nothing when the key is not 32 bytes, the nonce not 12 bytes, or the cipher fails.
std::optional<GcmSealed> aesGcmSeal(ByteView key, ByteView nonce, ByteView plaintext, ByteView aad = {});
/// Opens; nothing when the key or nonce size is wrong, the tag is not exactly 16 bytes, or
/// authentication fails (no partial plaintext is ever returned).
std::optional<Bytes> aesGcmOpen(ByteView key, ByteView nonce, ByteView ciphertext, ByteView tag,
                                ByteView aad = {});

/// The combined form of a sealed value: nonce || ciphertext || tag, nothing else.
inline constexpr std::size_t gcmNonceSize = 12;
inline constexpr std::size_t gcmTagSize = 16;
/// Seals into the combined form under the given 12-byte nonce; nothing when aesGcmSeal fails.
std::optional<Bytes> aesGcmSealCombined(ByteView key, ByteView nonce, ByteView plaintext, ByteView aad = {});
/// Opens the combined form; nothing when it is shorter than a nonce and a tag or when aesGcmOpen
/// fails. An empty ciphertext is allowed: callers that need more check the size first.
std::optional<Bytes> aesGcmOpenCombined(ByteView key, ByteView combined, ByteView aad = {});

/// Ed25519 over raw 32-byte keys (RFC 8032).
std::optional<Bytes> ed25519PublicKey(ByteView privateSeed);
std::optional<Bytes> ed25519Sign(ByteView privateSeed, ByteView message);  ///< 64 bytes
bool ed25519Verify(ByteView publicKey, ByteView message, ByteView signature);

/// ECDSA curves of ID-token signatures.
enum class EcCurve { p256, p384, p521 };
/// Outcome of an ECDSA check against a PEM public key.
enum class EcdsaVerifyResult { valid, invalidSignature, badPublicKey, curveMismatch, badSignatureLength };
/// Verifies a raw r||s signature (32, 48 or 66 bytes each for P-256, P-384, P-521) over the
/// message with SHA-256, SHA-384 or SHA-512 respectively, against an EC public key in PEM
/// ("PUBLIC KEY" SubjectPublicKeyInfo). The key's curve must be `curve`.
EcdsaVerifyResult ecdsaVerifyRaw(const std::string& publicKeyPem, EcCurve curve, ByteView message,
                                 ByteView rawSignature);

}  // namespace velqo::platform::crypto
