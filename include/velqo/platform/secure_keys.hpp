#pragma once

#include <memory>
#include <optional>

#include "velqo/export.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/result.hpp"

namespace velqo::platform {

/// A P-256 key (private, or public only). Opaque; shared and immutable.
class VELQO_API SecKey {
 public:
  virtual ~SecKey() = default;
  virtual bool isPrivate() const noexcept = 0;
  virtual int sizeInBits() const noexcept = 0;

 protected:
  SecKey() = default;
};
using SecKeyRef = std::shared_ptr<const SecKey>;

/// The key-exchange algorithms the device-trust code asks for: ECDH on P-256 whose result
/// goes through the ANSI X9.63 KDF with SHA-256 (standard or cofactor Diffie-Hellman; for
/// P-256 the cofactor is 1, so both give the same secret).
enum class KeyExchangeAlgorithm { ecdhStandardX963SHA256, ecdhCofactorX963SHA256 };

/// Attributes of a new key.
struct KeyAttributes {
  KeyType keyType = KeyType::ecPrimeRandom;
  int sizeInBits = 256;
  KeyToken token = KeyToken::software;
  /// Permanent keys are stored in the item store under `applicationTag`.
  bool permanent = false;
  Bytes applicationTag;
  Accessibility accessibility = Accessibility::whenUnlockedThisDeviceOnly;
};

/// Whether the hardware token can make and find keys. With `notAvailable` or
/// `unimplemented`, creating or looking up a key on the secureEnclave token fails with
/// that status (-25291 or -4) in the OSStatus domain; software keys always work.
enum class HardwareKeyMode { available, notAvailable, unimplemented };

/// The hardware-key store: software P-256 keys that stand in for keys held by a secure
/// element, kept as key items of `itemStore()`. Every operation is thread-safe.
namespace keys {

/// Makes a random key. Permanent keys are added to the item store (a tag already in use
/// fails with duplicateItem; an empty tag, another key type or size fails with
/// badParameter). Failures are platform errors of the OSStatus domain.
VELQO_API Result<SecKeyRef, PlatformError> createRandomKey(const KeyAttributes& attributes);
/// Looks a permanent key up by tag, type and token. status::itemNotFound when absent; the
/// hardware mode's status on the secureEnclave token when it is switched off; badParameter
/// when the stored key data does not make a valid key (the item stays until deleted).
VELQO_API OSStatus copyMatchingKey(const Bytes& applicationTag, KeyType keyType, KeyToken token,
                                   SecKeyRef& out);
/// Deletes permanent keys by tag, type and token; returns the item store's status.
VELQO_API OSStatus deleteKey(const Bytes& applicationTag, KeyType keyType, KeyToken token);
/// The public half of a key (nullptr when it cannot be made).
VELQO_API SecKeyRef copyPublicKey(const SecKeyRef& key);
/// A public key's external representation: the 65-byte uncompressed X9.63 point.
/// Private keys are refused (badParameter).
VELQO_API Result<Bytes, PlatformError> copyExternalRepresentation(const SecKeyRef& key);
/// Imports a public key from its 65-byte uncompressed point (only that form is accepted;
/// the point must lie on the curve). Failure: OSStatus-domain error with badParameter.
VELQO_API Result<SecKeyRef, PlatformError> createPublicKeyWithData(const Bytes& x963Point);
/// Whether the key supports the key-exchange algorithm (true for P-256 keys here).
VELQO_API bool isAlgorithmSupported(const SecKeyRef& key, KeyExchangeAlgorithm algorithm);
/// ECDH of a private and a public key, passed through the X9.63 KDF with SHA-256 and no
/// shared info. `requestedSize` gives the output length (1 byte to 1 MiB); without it the
/// raw 32-byte shared secret goes through the KDF to 32 bytes as well. A missing or
/// non-private first key, a missing peer or a size out of range fail with badParameter.
VELQO_API Result<Bytes, PlatformError> copyKeyExchangeResult(const SecKeyRef& privateKey,
                                                             KeyExchangeAlgorithm algorithm,
                                                             const SecKeyRef& publicKey,
                                                             std::optional<std::size_t> requestedSize);

/// Switches the hardware token (tests and hosts without one). Default: available.
VELQO_API void setHardwareKeyMode(HardwareKeyMode mode);
VELQO_API HardwareKeyMode hardwareKeyMode();

}  // namespace keys
}  // namespace velqo::platform
