#pragma once

// The V4 device-proof routines and the Er1r2 record (internal).

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bigint.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/platform/result.hpp"

namespace velqo {

/// Stateless: one shared instance, made by `shared()`, serves the V4 engine, the device-session
/// manager and the web-login manager. Every operation is synchronous, thread-safe and never
/// throws; a missing or unreadable record reads as nothing and a failed write returns false.
///
/// The Er1r2 record is a generic-password item of KeychainManager's default service under the
/// user id, holding compact JSON {"encpr1r2": <Er1r2 text>}. The last signed-in user is kept
/// by LastUserRecord.
class VelqoFrameworkInternalUtils {
  // Only `shared` can make one: a private constructor keeps it from being an aggregate that
  // `{}` would build anywhere.
  class Passkey {
    Passkey() = default;
    friend class VelqoFrameworkInternalUtils;
  };

 public:
  static constexpr int GCM_IV_LEN = 12;
  static constexpr int GCM_TAG_LEN = 16;

  /// The process-wide instance.
  static std::shared_ptr<VelqoFrameworkInternalUtils> shared();
  /// Use `shared`.
  explicit VelqoFrameworkInternalUtils(Passkey) noexcept;
  VelqoFrameworkInternalUtils(const VelqoFrameworkInternalUtils&) = delete;
  VelqoFrameworkInternalUtils& operator=(const VelqoFrameworkInternalUtils&) = delete;

  /// The stored Er1r2 text of the user; nothing when there is no item, it is not a JSON
  /// object, or "encpr1r2" is missing or not a text.
  std::optional<std::string> getEr1r2FromKeychain(const std::string& userId) const;
  /// Stores {"encpr1r2": er1r2} under the user id; whether the save succeeded.
  [[nodiscard]] bool saveEr1r2ToKeychain(const std::string& er1r2, const std::string& userId) const;

  /// Why every account entry point that takes a user id refuses this one, worded to follow
  /// "Refusing " in a diagnostic line: "a user id that is not UTF-8" (such an id cannot be
  /// sent, nor kept in the last-user record), or "user id <id>: it names another stored record"
  /// (record_names::userIdNamesAnotherRecord: the user's operations would read, overwrite or
  /// delete another record of the default service). Nothing when the id is usable.
  static std::optional<std::string> userIdRefusal(const std::string& userId);

  // ---- the V4 device proof ----

  /// The error domain of a malformed AES-GCM payload (code -1).
  static constexpr const char* aesErrorDomain = "AESErrorGCM";
  /// The error domain of a payload that fails to open (wrong key, tampered bytes).
  static constexpr const char* cipherErrorDomain = "AESGCMOpenError";

  /// SHA-256 of the text's bytes as 64 lower-case hexadecimal characters.
  static std::string sha256Hex(std::string_view text);
  /// SHA-256 of the text's bytes read as an unsigned big-endian integer.
  static platform::BigInt sha256BigUInt(std::string_view text);
  /// Exactly 32 key bytes from a non-negative integer: its big-endian magnitude, cut to the
  /// last 32 bytes or padded with leading zeros.
  static Bytes normalized32ByteKey(const platform::BigInt& key);
  /// Opens an AES-256-GCM payload (base64 of nonce (12 bytes), ciphertext, tag (16 bytes); no
  /// additional data) under normalized32ByteKey(key) and reads the plaintext as UTF-8. Fails
  /// with "AESErrorGCM" -1 ("Invalid Base-64 input.", "GCM payload too short. Length: N",
  /// "UTF-8 decode failed.") or with cipherErrorDomain when the tag does not check.
  static Result<std::string, platform::PlatformError> decryptAesGcmPayload(std::string_view payload,
                                                                           const platform::BigInt& key);
  /// (a / gcd(a, b)) * b; nothing unless both are greater than 0.
  static std::optional<platform::BigInt> leastCommonMultiple(const platform::BigInt& a,
                                                             const platform::BigInt& b);
  /// (x - 1) / n, truncating. `n` must not be 0 (throws std::domain_error).
  static platform::BigInt paillierL(const platform::BigInt& x, const platform::BigInt& n);
  /// The V4 answer M2 (decimal) to the challenge c2 for the client value M1, recovered from the
  /// device's stored Er1r2 and the service's e12 and er3 payloads; nothing when any step fails
  /// (a payload that does not open, shares that are not two decimal numbers, a modulus of 1 or
  /// less, no inverse). Powers with the secret exponent run in constant time, and every
  /// intermediate secret is wiped when released.
  static std::optional<std::string> regenerateM2f(std::string_view c2, std::string_view m1,
                                                  std::string_view er1r2, std::string_view e12,
                                                  std::string_view er3);
};

}  // namespace velqo
