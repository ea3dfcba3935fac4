// Feeds arbitrary bytes to the stored device credential record decoder and the wrap metadata
// decoder. Anything that decodes must encode and decode back to an equal value; any crash,
// sanitizer report or exception other than the decoder's own error is a finding.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "velqo/v1/flows/device_crypto_store.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

template <class T>
void roundTrip(std::string_view text) {
  try {
    const T decoded = velqo::decodeV1JSON<T>(text);
    check(velqo::decodeV1JSON<T>(velqo::encodeV1JSON(decoded)) == decoded);
  } catch (const velqo::VelqoV1JSONCodingError&) {
    // Rejected input (or a text field that is not UTF-8, which cannot be written back).
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  roundTrip<velqo::VelqoV1DeviceCryptoRecord>(text);
  roundTrip<velqo::VelqoV1WrapMetadata>(text);
  return 0;
}
