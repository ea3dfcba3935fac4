// Feeds arbitrary scanned texts to the QR payload parser: it must return a payload or nothing,
// never crash or hang, and every payload must keep the trimmed text and name a session and nonce
// the way one of its two rules allows.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "velqo/v1/flows/qr_payload.hpp"

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
  const auto payload = velqo::VelqoV1QrPayloadParser::parse(text);
  if (!payload) return 0;
  const std::string& raw = payload->raw;
  if (raw.empty() || isBlank(raw.front()) || isBlank(raw.back())) std::abort();
  if (text.find(raw) == std::string_view::npos) std::abort();
  if (payload->type == velqo::VelqoV1QrPayloadType::qrAuth && !payload->phoneActionToken) std::abort();
  // A bind only ever comes from a JSON object; the colon rule gives approvals only.
  if (payload->type == velqo::VelqoV1QrPayloadType::qrLogin && raw.front() != '{') std::abort();
  if (!(velqo::VelqoV1QrPayloadParser::parse(raw) == payload)) std::abort();  // trimming is idempotent
  return 0;
}
