// Feeds arbitrary URL texts to the OAuth callback parser: it must return a callback or nothing,
// never crash or hang, and every callback must carry a non-empty code and state that are valid
// UTF-8.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/encoding.hpp"
#include "velqo/v1/flows/oauth_callback.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
  const auto callback = velqo::VelqoV1OAuthCallbackParser::parse(text);
  if (!callback) return 0;
  if (callback->code.empty() || callback->state.empty()) std::abort();
  if (!velqo::platform::isValidUtf8(callback->code) || !velqo::platform::isValidUtf8(callback->state)) {
    std::abort();
  }
  // A URL text holds no blanks or control characters, so neither can the undecoded query.
  for (char c : text) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) std::abort();
  }
  return 0;
}
