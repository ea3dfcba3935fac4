#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velqo/export.hpp"

namespace velqo {

/// A byte buffer: keys, digests, sealed blobs, keychain item data.
using Bytes = std::vector<std::uint8_t>;

/// Overwrites the buffer's contents with zeros in a way the optimiser keeps, then
/// empties it. Call it on every buffer that held a secret once it is no longer needed.
VELQO_API void wipe(Bytes& bytes) noexcept;
VELQO_API void wipe(std::string& text) noexcept;

/// Wipes the referenced buffer when the scope ends (also on exceptions).
class ScopedWipe {
 public:
  explicit ScopedWipe(Bytes& bytes) noexcept : bytes_(bytes) {}
  ~ScopedWipe() { wipe(bytes_); }
  ScopedWipe(const ScopedWipe&) = delete;
  ScopedWipe& operator=(const ScopedWipe&) = delete;

 private:
  Bytes& bytes_;
};

/// The bytes of a text, unchanged (UTF-8 stays UTF-8).
inline Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}
/// The text made of the given bytes, unchanged.
inline std::string textOf(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace velqo
