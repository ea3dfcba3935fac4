// The V4 registration of a device: the typed one-time code, then the device's confirmation of
// the Er1r2 record and persistent device token it stored.

#include <utility>

#include "account/host_call.hpp"
#include "account/v4/v4_engine_internal.hpp"
#include "core/storage/keychain_manager.hpp"

namespace velqo {

using namespace account::detail::v4;

void VelqoAuthV4::submitOtp(const std::string& otp) {
  std::uint64_t attempt = 0;
  std::optional<std::pair<Code, const char*>> failure;
  std::optional<OTPVerificationRequestV4> request;
  {
    const auto lock = state_->attempts.lock();
    attempt = state_->attempts.current(lock);
    if (!state_->currentUserId || !state_->currentDeviceInfo || !state_->attempts.isListening(lock)) {
      failure.emplace(Code::internalStateError,
                      "User ID, Device Info, or Callback missing for OTP submission.");
    } else if (!state_->currentDeviceTokenSession) {
      failure.emplace(Code::missingDeviceTokenSession,
                      "Verification session token missing for OTP submission.");
    } else {
      request = OTPVerificationRequestV4{*state_->currentDeviceTokenSession, otp, *state_->currentDeviceInfo};
    }
  }
  if (failure) {
    reportError(attempt, failure->first, failure->second);
    return;
  }
  post<OTPVerificationResponseV4>(attempt, "/v4/verify-otp", *request,
                                  &VelqoAuthV4::handleOtpVerificationResponse);
  wipe(request->otp);
}

void VelqoAuthV4::handleOtpVerificationResponse(std::uint64_t attempt,
                                                ApiService::Outcome<OTPVerificationResponseV4> result) {
  auto* answer = answerFor(attempt, result, "OTP verification connection failed. ");
  if (!answer) return;
  auto& [response, status] = *answer;
  if (status == 200 && response.code) {
    redeemAuthorizationCode(attempt, *response.code);
    return;
  }
  if (status == 200 && response.device_token && response.Er1r2) {
    {
      const auto lock = state_->attempts.lock();
      if (!state_->attempts.isLive(lock, attempt)) return;
      state_->currentDeviceTokenPersistent = std::move(response.device_token);
      state_->currentEr1r2 = std::move(response.Er1r2);
    }
    verifyDevice(attempt);
    return;
  }
  reportError(attempt, Code::otpVerificationFailed,
              answerText(response, withStatus("OTP verification failed (", status)));
}

void VelqoAuthV4::verifyDevice(std::uint64_t attempt) {
  std::optional<VerifyDeviceRequestV4> request;
  {
    const auto lock = state_->attempts.lock();
    const State& s = *state_;
    if (!s.attempts.isCurrent(lock, attempt)) return;
    if (s.currentUserId && s.currentDeviceInfo && s.currentDeviceTokenPersistent && s.currentEr1r2 &&
        s.attempts.isListening(lock)) {
      request = VerifyDeviceRequestV4{*s.currentUserId, *s.currentDeviceInfo, *s.currentDeviceTokenPersistent,
                                      proofHash(*s.currentEr1r2, *s.currentUserId),
                                      proofHash(*s.currentUserId, *s.currentEr1r2)};
    }
  }
  if (!request) {
    reportError(attempt, Code::internalStateError, "Critical data missing for internal device finalization.");
    return;
  }
  post<VerifyDeviceResponseV4>(attempt, "/v4/verify-device", *request,
                               &VelqoAuthV4::handleVerifyDeviceResponse);
  wipe(request->device_token);
}

void VelqoAuthV4::handleVerifyDeviceResponse(std::uint64_t attempt,
                                             ApiService::Outcome<VerifyDeviceResponseV4> result) {
  std::optional<std::string> userId;
  std::optional<std::string> er1r2;
  std::optional<std::string> persistentToken;
  {
    const auto lock = state_->attempts.lock();
    if (!state_->attempts.isLive(lock, attempt)) return;
    userId = state_->currentUserId;
    er1r2 = state_->currentEr1r2;
    persistentToken = state_->currentDeviceTokenPersistent;
  }
  struct Wipe {
    std::optional<std::string>& a;
    std::optional<std::string>& b;
    ~Wipe() {
      clear(a);
      clear(b);
    }
  } wipeCopies{er1r2, persistentToken};

  if (!result) {
    reportError(attempt, Code::networkError,
                "Device final verification connection failed. " + result.error().localizedDescription());
    return;
  }
  const auto& [response, status] = result.value();
  if (status != 200) {
    reportError(attempt, Code::deviceVerificationFailed,
                answerText(response, withStatus("Device final verification failed (", status)));
    return;
  }
  if (!userId || !er1r2) {
    reportError(attempt, Code::internalStateError, "User ID or Er1r2 missing for keychain save.");
    return;
  }
  if (!cryptoUtils_->saveEr1r2ToKeychain(*er1r2, *userId)) {
    reportError(attempt, Code::keychainSaveFailed, "Failed to save Er1r2 to keychain.");
    return;
  }
  if (!persistentToken) {
    reportError(attempt, Code::internalStateError, "Persistent device token was nil before saving.");
    return;
  }
  if (!KeychainManager::saveV4PersistentDeviceToken(*persistentToken, *userId)) {
    reportError(attempt, Code::keychainSaveFailed, "Failed to save persistent device token.");
    return;
  }
  // Registration issues no token: the next authenticate finds both records and logs in.
  if (auto callback = finish(attempt)) {
    account::detail::callHost(kTag, [&] { callback->onAuthSuccess(std::nullopt, std::nullopt, false); });
  }
}

}  // namespace velqo
