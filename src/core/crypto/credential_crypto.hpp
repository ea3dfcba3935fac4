#pragma once

// What the V1 and V5 device-credential suites share (not installed): the labelled key schedule,
// random bytes that fail with the suite's own error, and the failure descriptions both suites
// word the same. Sealing is the combined AES-GCM form of platform/crypto.hpp.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/crypto.hpp"
#include "velqo/platform/bytes.hpp"

namespace velqo::detail {

/// The HKDF info labels of one suite's four keys.
struct KeyScheduleLabels {
  std::string_view sk0;
  std::string_view sk1;
  std::string_view sk2;
  std::string_view hds;
};

/// The key schedule of a device credential. Each key is HKDF-SHA256 (extract then expand) of the
/// shared secret under its label, 32 bytes; sk1 is salted with the SHA-256 of combinedPrs.
/// Returned keys belong to the caller, who wipes them. Thread-safe; fails only when OpenSSL does
/// (std::runtime_error).
class LabelledKeySchedule {
 public:
  constexpr explicit LabelledKeySchedule(KeyScheduleLabels labels) noexcept : labels_(labels) {}

  /// One 32-byte key under any label.
  [[nodiscard]] static Bytes derive(const Bytes& inputKeyMaterial, const Bytes& salt, std::string_view label);

  [[nodiscard]] Bytes sk0(const Bytes& sharedSecret, const Bytes& salt) const {
    return derive(sharedSecret, salt, labels_.sk0);
  }
  [[nodiscard]] Bytes sk1(const Bytes& sharedSecret, const Bytes& combinedPrs) const;
  [[nodiscard]] Bytes sk2(const Bytes& sharedSecret, const Bytes& salt) const {
    return derive(sharedSecret, salt, labels_.sk2);
  }
  [[nodiscard]] Bytes hds(const Bytes& sharedSecret, const Bytes& salt) const {
    return derive(sharedSecret, salt, labels_.hds);
  }

 private:
  KeyScheduleLabels labels_;
};

/// Failure descriptions both suites word the same.
namespace credential_crypto_text {
inline constexpr std::string_view randomGenerationFailed = "Secure random bytes could not be generated.";
inline constexpr std::string_view nonceInitializationFailed = "The AES-GCM nonce could not be initialised.";
inline constexpr std::string_view invalidInfoString = "The info string does not match.";
inline constexpr std::string_view signingFailed = "The challenge could not be signed.";
}  // namespace credential_crypto_text

/// The description of a case in a suite's table, which gives one text per case in the order of
/// the cases (a case's position is also its error code); `unknown` for a value outside it.
template <class Case, std::size_t N>
[[nodiscard]] constexpr std::string_view describeCase(const std::array<std::string_view, N>& table,
                                                      Case errorCase, std::string_view unknown) noexcept {
  const auto position = static_cast<std::size_t>(errorCase);
  return position < N ? table[position] : unknown;
}

/// A generator failure's description: the case's text followed by " (status N)".
[[nodiscard]] std::string withGeneratorStatus(std::string_view description, std::int32_t status);

/// `count` random bytes (0 gives none); when the generator fails, the buffer is wiped and
/// `Error::randomGenerationFailed(status)` is thrown.
template <class Error>
[[nodiscard]] Bytes randomBytesOrThrow(std::size_t count) {
  Bytes out(count, 0);
  if (count == 0) return out;
  const int status = platform::crypto::randomBytes(out.data(), out.size());
  if (status != 0) {
    wipe(out);
    throw Error::randomGenerationFailed(status);
  }
  return out;
}

}  // namespace velqo::detail
