#pragma once

// What the V4 engine's files share (internal to src/account/v4): the attempt's fields and the
// small helpers of its steps. The steps are split by way: velqo_auth_v4.cpp starts an attempt
// and reports its failures, v4_registration.cpp registers a device, v4_login.cpp logs one in.

#include <optional>
#include <string>
#include <string_view>

#include "account/attempts.hpp"
#include "account/v4/velqo_auth_v4.hpp"
#include "velqo/platform/bytes.hpp"

namespace velqo {
namespace account::detail::v4 {

inline constexpr std::string_view kTag = "[VelqoAuthV4] ";

inline void clear(std::optional<std::string>& text) noexcept {
  if (text) wipe(*text);
  text.reset();
}

// The answer's own text: its "message", else its "detail", else the fallback.
template <class Response>
std::string answerText(const Response& response, std::string fallback) {
  if (response.message) return *response.message;
  if (response.detail) return *response.detail;
  return fallback;
}

inline std::string withStatus(const char* prefix, long status) {
  return prefix + std::to_string(status) + ").";
}

inline std::string proofHash(const std::string& first, const std::string& second) {
  std::string text = first + second;
  std::string digest = VelqoFrameworkInternalUtils::sha256Hex(text);
  wipe(text);
  return digest;
}

}  // namespace account::detail::v4

// The attempt's fields, guarded by the lock of `attempts`: every request and every queued
// callback carries the number of the attempt it was made for and is dropped once another
// attempt started.
struct VelqoAuthV4::State {
  account::detail::Attempts<AuthV4Callback> attempts;
  std::optional<std::string> currentUserId;
  std::optional<MobileDeviceInfoV1> currentDeviceInfo;
  std::optional<std::string> currentV3FingerprintHash;
  std::optional<BasicAttributesV1> currentSdabAttributesStruct;
  std::optional<std::string> currentDeviceTokenSession;
  std::optional<std::string> currentDeviceTokenPersistent;
  std::optional<std::string> currentClientChallengeM1String;
  std::optional<std::string> currentEr1r2;

  // Forgets (and wipes) what the attempt gathered; the callback goes with its attempt.
  void clearFields() noexcept {
    account::detail::v4::clear(currentUserId);
    currentDeviceInfo.reset();
    account::detail::v4::clear(currentV3FingerprintHash);
    currentSdabAttributesStruct.reset();
    account::detail::v4::clear(currentDeviceTokenSession);
    account::detail::v4::clear(currentDeviceTokenPersistent);
    account::detail::v4::clear(currentClientChallengeM1String);
    account::detail::v4::clear(currentEr1r2);
  }
};

template <class Response>
std::pair<Response, long>* VelqoAuthV4::answerFor(std::uint64_t attempt,
                                                  ApiService::Outcome<Response>& result,
                                                  const char* failure) {
  if (!state_->attempts.isLive(attempt)) return nullptr;
  if (!result) {
    reportError(attempt, Code::networkError, failure + result.error().localizedDescription());
    return nullptr;
  }
  return &result.value();
}

template <class Response, class Request>
void VelqoAuthV4::post(std::uint64_t attempt, const char* path, const Request& body,
                       void (VelqoAuthV4::*handler)(std::uint64_t, ApiService::Outcome<Response>)) {
  account::detail::send<Response>(*this, *apiService_, attempt, endPoints_.authBase + path, body, handler);
}

}  // namespace velqo
