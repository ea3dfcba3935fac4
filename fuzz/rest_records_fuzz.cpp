// Decodes arbitrary bytes as every REST answer record (and the transport's error detail).
// Besides never crashing, a record that decodes must encode, and its encoding must decode to
// the same record.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "api/json_support.hpp"
#include "api/models/device_records.hpp"
#include "api/models/oauth_records.hpp"
#include "api/models/push_records.hpp"
#include "api/models/v4_records.hpp"
#include "api/models/v5_records.hpp"
#include "api/models/web_login_records.hpp"
#include "core/transport/api_service.hpp"

namespace {

// Device ids are fresh on every decoding; compare the rest.
void clearLocalIds(velqo::GetDeviceDetailsResponse& r) {
  if (r.data) {
    for (auto& device : *r.data) device.id.clear();
  }
}
template <class T>
void clearLocalIds(T&) {}

template <class T>
void check(std::string_view input) {
  auto first = velqo::decodeRecord<T>(input);
  if (!first) return;
  auto text = velqo::encodeRecord(first.value());
  if (!text) std::abort();
  auto second = velqo::decodeRecord<T>(text.value());
  if (!second) std::abort();
  T a = first.value();
  T b = second.value();
  clearLocalIds(a);
  clearLocalIds(b);
  if (!(a == b)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  check<velqo::AuthInitResponse>(input);
  check<velqo::OTPVerificationResponseV4>(input);
  check<velqo::VerifyDeviceResponseV4>(input);
  check<velqo::VerifyCipherResponseV4>(input);
  check<velqo::AuthInitV5Response>(input);
  check<velqo::VerifyOtpV5Response>(input);
  check<velqo::VerifyDeviceV5Response>(input);
  check<velqo::VerifyCipherV5Response>(input);
  check<velqo::OAuthTokenResponse>(input);
  check<velqo::GenericSuccessResponse>(input);
  check<velqo::PushLoginDetailsResponse>(input);
  check<velqo::WebLoginResponse>(input);
  check<velqo::WebLoginApproveResponse>(input);
  check<velqo::GetDeviceDetailsResponse>(input);
  check<velqo::SessionDetails>(input);
  (void)velqo::json::decode<velqo::APIErrorDetail>(input);
  return 0;
}
