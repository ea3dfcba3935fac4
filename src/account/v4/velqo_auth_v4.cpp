#include "account/v4/velqo_auth_v4.hpp"

#include <mutex>
#include <new>
#include <utility>

#include "account/host_call.hpp"
#include "account/records/last_user_record.hpp"
#include "core/identity/fingerprint_generator.hpp"
#include "core/identity/secure_enclave_helper.hpp"
#include "core/storage/keychain_manager.hpp"
#include "platform/crypto.hpp"
#include "platform/url.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/queue.hpp"

namespace velqo {
namespace {

constexpr std::string_view kTag = "[VelqoAuthV4] ";
constexpr const char* kMobileFingerprintVersion = "mobile_v1";

void clear(std::optional<std::string>& text) noexcept {
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

std::string withStatus(const char* prefix, long status) {
  return prefix + std::to_string(status) + ").";
}

// M1: four bytes of the secure random source as an unsigned 32-bit decimal.
std::optional<std::string> generateClientChallenge() {
  std::uint8_t bytes[4] = {};
  if (platform::crypto::randomBytes(bytes, sizeof bytes) != 0) return std::nullopt;
  const std::uint32_t value = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                              (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
  return std::to_string(value);
}

std::string proofHash(const std::string& first, const std::string& second) {
  std::string text = first + second;
  std::string digest = VelqoFrameworkInternalUtils::sha256Hex(text);
  wipe(text);
  return digest;
}

std::string descriptionOf(const std::exception& error) {
  if (const auto* platformError = dynamic_cast<const platform::PlatformError*>(&error))
    return platformError->localizedDescription();
  return error.what();
}

}  // namespace

// The attempt's fields. `attempt` numbers the attempts: every request and every queued
// callback carries the number it was made for and is dropped once another attempt started.
struct VelqoAuthV4::State {
  std::mutex mutex;
  std::uint64_t attempt = 0;
  std::optional<std::string> currentUserId;
  std::optional<MobileDeviceInfoV1> currentDeviceInfo;
  std::optional<std::string> currentV3FingerprintHash;
  std::optional<BasicAttributesV1> currentSdabAttributesStruct;
  std::optional<std::string> currentDeviceTokenSession;
  std::optional<std::string> currentDeviceTokenPersistent;
  std::optional<std::string> currentClientChallengeM1String;
  std::optional<std::string> currentEr1r2;
  std::weak_ptr<AuthV4Callback> callback;

  void clearState(bool keepCallback) noexcept {
    clear(currentUserId);
    currentDeviceInfo.reset();
    clear(currentV3FingerprintHash);
    currentSdabAttributesStruct.reset();
    clear(currentDeviceTokenSession);
    clear(currentDeviceTokenPersistent);
    clear(currentClientChallengeM1String);
    clear(currentEr1r2);
    if (!keepCallback) callback.reset();
  }
  // The attempt is still the current one and its host still listens.
  bool isLive(std::uint64_t a) const { return a == attempt && !callback.expired(); }
};

std::shared_ptr<VelqoAuthV4> VelqoAuthV4::create(std::shared_ptr<const ApiService> apiService,
                                                 std::optional<VelqoOAuthConfig> oauthConfig,
                                                 EndPoints endPoints,
                                                 std::shared_ptr<platform::HttpSession> formSession) {
  return std::make_shared<VelqoAuthV4>(Passkey{}, std::move(apiService), std::move(oauthConfig),
                                       std::move(endPoints), std::move(formSession));
}

VelqoAuthV4::VelqoAuthV4(Passkey, std::shared_ptr<const ApiService> apiService,
                         std::optional<VelqoOAuthConfig> oauthConfig, EndPoints endPoints,
                         std::shared_ptr<platform::HttpSession> formSession)
    : apiService_(std::move(apiService)),
      oauthConfig_(std::move(oauthConfig)),
      oauthVerifier_(oauthConfig_ ? std::optional<OAuthTokenVerifier>(OAuthTokenVerifier{
                                        oauthConfig_->publicKeyPem, oauthConfig_->clientId})
                                  : std::nullopt),
      endPoints_(std::move(endPoints)),
      cryptoUtils_(VelqoFrameworkInternalUtils::shared()),
      formSession_(std::move(formSession)),
      state_(std::make_unique<State>()) {}

VelqoAuthV4::~VelqoAuthV4() {
  state_->clearState(/*keepCallback=*/false);
}

template <class Response, class Request>
void VelqoAuthV4::post(std::uint64_t attempt, const char* path, const Request& body,
                       void (VelqoAuthV4::*handler)(std::uint64_t, ApiService::Outcome<Response>)) {
  std::weak_ptr<VelqoAuthV4> weak = weak_from_this();
  apiService_->post<Response>(endPoints_.authBase + path, body, std::nullopt,
                              [weak, attempt, handler](ApiService::Outcome<Response> outcome) {
                                auto self = weak.lock();
                                if (!self) return;
                                ((*self).*handler)(attempt, std::move(outcome));
                              });
}

// ---- starting an attempt ----

void VelqoAuthV4::setCurrentUserId(const std::string& userid) {
  std::lock_guard lock(state_->mutex);
  state_->currentUserId = userid;
}

void VelqoAuthV4::authenticate(const std::string& userid, const std::shared_ptr<AuthV4Callback>& callback) {
  debugLog(std::string(kTag) + "Starting V4 authentication for user: " + userid);
  std::uint64_t attempt = 0;
  {
    std::lock_guard lock(state_->mutex);
    state_->clearState(/*keepCallback=*/false);
    attempt = ++state_->attempt;
    state_->currentUserId = userid;
    state_->callback = callback;
  }
  if (VelqoFrameworkInternalUtils::userIdNamesAnotherRecord(userid)) {
    debugLog(std::string(kTag) + "Refusing user id " + userid + ": it names another stored record.");
    reportError(attempt, Code::invalidInput, "");
    return;
  }

  // The device information and the stored records: file and key-store work, outside the lock.
  std::string fingerprint;
  SdabAttributes sdab;
  try {
    fingerprint = FingerprintGenerator::generateFingerprint(userid);
    sdab = FingerprintGenerator::generateSdabAttributes();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    handleFingerprintError(attempt, error);
    return;
  }
  const MobileDeviceInfoV1 deviceInfo{kMobileFingerprintVersion, fingerprint, sdab.basicAttributes()};
  std::optional<std::string> persistentToken = KeychainManager::getV4PersistentDeviceToken(userid);
  std::optional<std::string> er1r2;
  if (persistentToken) er1r2 = cryptoUtils_->getEr1r2FromKeychain(userid);

  AuthInitRequest request{userid, deviceInfo, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
  bool challengeFailed = false;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->attempt != attempt) return;  // a newer attempt took over
    state_->currentV3FingerprintHash = fingerprint;
    state_->currentSdabAttributesStruct = deviceInfo.sdab_attributes;
    state_->currentDeviceInfo = deviceInfo;
    if (persistentToken && er1r2) {
      // A known device logs in; any other registers (no token, cipher or hashes are sent).
      state_->currentDeviceTokenPersistent = persistentToken;
      state_->currentEr1r2 = er1r2;
      auto m1 = generateClientChallenge();
      if (m1) {
        state_->currentClientChallengeM1String = m1;
        request.device_token = *persistentToken;
        request.cipher = *m1;
        request.h1 = proofHash(*er1r2, userid);
        request.h2 = proofHash(userid, *er1r2);
      } else {
        challengeFailed = true;
      }
    }
  }
  clear(persistentToken);
  clear(er1r2);
  if (challengeFailed) {
    reportError(attempt, Code::clientCryptoError, "Failed to generate client challenge (M1).");
    return;
  }
  post<AuthInitResponse>(attempt, "/v4/auth-init", request, &VelqoAuthV4::handleAuthInitResponse);
  clear(request.device_token);
}

void VelqoAuthV4::handleAuthInitResponse(std::uint64_t attempt,
                                         ApiService::Outcome<AuthInitResponse> result) {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->isLive(attempt)) return;
  }
  if (!result) {
    reportError(attempt, Code::networkError,
                "Auth initialization connection failed. " + result.error().localizedDescription());
    return;
  }
  const auto& [response, status] = result.value();
  if (status == 200 && response.c2) {
    std::optional<std::string> m1;
    std::optional<std::string> er1r2;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->attempt != attempt) return;
      m1 = state_->currentClientChallengeM1String;
      er1r2 = state_->currentEr1r2;
    }
    if (!response.e12 || !response.er3 || !m1 || !er1r2) {
      clear(er1r2);
      reportError(attempt, Code::authInitFailed,
                  "Incomplete data from /auth-init for login or missing client state.");
      return;
    }
    auto m2 = cryptoUtils_->regenerateM2f(*response.c2, *m1, *er1r2, *response.e12, *response.er3);
    clear(er1r2);
    if (!m2) {
      reportError(attempt, Code::clientCryptoError, "Failed to calculate M2.");
      return;
    }
    verifyCipher(attempt, *m2);
    wipe(*m2);
    return;
  }
  if (status == 201 && response.device_token) {
    std::shared_ptr<AuthV4Callback> callback;
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->isLive(attempt)) return;
      state_->currentDeviceTokenSession = response.device_token;
      callback = state_->callback.lock();
    }
    if (callback) account::detail::callHost(kTag, [&] { callback->onOtpRequired(); });
    return;
  }
  reportError(attempt, Code::authInitFailed,
              answerText(response, withStatus("Auth initialization failed (", status)));
}

// ---- registration ----

void VelqoAuthV4::submitOtp(const std::string& otp) {
  std::uint64_t attempt = 0;
  std::optional<std::pair<Code, const char*>> failure;
  std::optional<OTPVerificationRequestV4> request;
  {
    std::lock_guard lock(state_->mutex);
    attempt = state_->attempt;
    if (!state_->currentUserId || !state_->currentDeviceInfo || state_->callback.expired()) {
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
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->isLive(attempt)) return;
  }
  if (!result) {
    reportError(attempt, Code::networkError,
                "OTP verification connection failed. " + result.error().localizedDescription());
    return;
  }
  auto& [response, status] = result.value();
  if (status == 200 && response.code) {
    redeemAuthorizationCode(attempt, *response.code);
    return;
  }
  if (status == 200 && response.device_token && response.Er1r2) {
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->isLive(attempt)) return;
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
    std::lock_guard lock(state_->mutex);
    const State& s = *state_;
    if (s.attempt != attempt) return;
    if (s.currentUserId && s.currentDeviceInfo && s.currentDeviceTokenPersistent && s.currentEr1r2 &&
        !s.callback.expired()) {
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
    std::lock_guard lock(state_->mutex);
    if (!state_->isLive(attempt)) return;
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

// ---- login ----

void VelqoAuthV4::verifyCipher(std::uint64_t attempt, const std::string& m2) {
  std::optional<VerifyCipherRequestV4> request;
  {
    std::lock_guard lock(state_->mutex);
    const State& s = *state_;
    if (s.attempt != attempt) return;
    if (s.currentUserId && s.currentDeviceInfo && s.currentDeviceTokenPersistent && !s.callback.expired()) {
      request =
          VerifyCipherRequestV4{*s.currentUserId, m2, *s.currentDeviceInfo, *s.currentDeviceTokenPersistent};
    }
  }
  if (!request) {
    reportError(attempt, Code::internalStateError,
                "User ID, Device Info, Persistent Token, or Callback missing for /verify-cipher.");
    return;
  }
  post<VerifyCipherResponseV4>(attempt, "/v4/verify-cipher", *request,
                               &VelqoAuthV4::handleVerifyCipherResponse);
  wipe(request->device_token);
  wipe(request->m2);
}

void VelqoAuthV4::handleVerifyCipherResponse(std::uint64_t attempt,
                                             ApiService::Outcome<VerifyCipherResponseV4> result) {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->isLive(attempt)) return;
  }
  if (!result) {
    reportError(attempt, Code::networkError,
                "Cipher verification connection failed. " + result.error().localizedDescription());
    return;
  }
  auto& [response, status] = result.value();
  if (status != 200) {
    reportError(attempt, Code::cipherVerificationFailed,
                answerText(response, withStatus("Cipher verification failed (", status)));
    return;
  }
  if (response.token) {
    completeLogin(attempt, std::move(*response.token));
  } else if (response.code) {
    redeemAuthorizationCode(attempt, *response.code);
  } else {
    reportError(
        attempt, Code::cipherVerificationFailed,
        answerText(response, "Cipher verification response did not include token or authorization code."));
  }
}

void VelqoAuthV4::redeemAuthorizationCode(std::uint64_t attempt, const std::string& code) {
  if (!oauthConfig_ || !oauthVerifier_) {
    reportError(attempt, Code::oauthConfigurationMissing,
                "OAuth configuration is missing. Cannot redeem authorization code.");
    return;
  }
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->isLive(attempt)) return;  // nobody would hear the outcome: nothing is sent
  }
  const auto endpoint = platform::Url::parse(oauthConfig_->tokenEndpoint);
  debugLog(std::string(kTag) + "Redeeming authorization code at OAuth endpoint: " +
           (endpoint ? endpoint->text() : oauthConfig_->tokenEndpoint));
  std::weak_ptr<VelqoAuthV4> weak = weak_from_this();
  velqo::redeemAuthorizationCode(
      *oauthConfig_, *oauthVerifier_, code,
      [weak, attempt](CodeRedemptionResult result) {
        auto self = weak.lock();
        if (!self) return;
        {
          std::lock_guard lock(self->state_->mutex);
          if (!self->state_->isLive(attempt)) return;
        }
        using Kind = CodeRedemptionResult::Kind;
        switch (result.kind) {
          case Kind::exchangeError:
            self->reportError(attempt, Code::oauthExchangeFailed,
                              "Failed to redeem authorization code. " + result.description);
            return;
          case Kind::exchangeRejected:
            self->reportError(
                attempt, Code::oauthExchangeFailed,
                "Authorization code exchange failed with status " + std::to_string(result.status) + ".");
            return;
          case Kind::verificationFailed:
            self->reportError(attempt, Code::oauthTokenVerificationFailed, tokenVerificationSentence(result));
            return;
          case Kind::redeemed:
            self->completeLogin(attempt, std::move(result.idToken));
            return;
        }
      },
      formSession_);
}

void VelqoAuthV4::completeLogin(std::uint64_t attempt, std::string accessToken) {
  std::optional<std::string> userId;
  bool listening = false;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->attempt != attempt) {
      wipe(accessToken);
      return;
    }
    userId = state_->currentUserId;
    listening = !state_->callback.expired();
  }
  if (!userId) {
    wipe(accessToken);
    reportError(attempt, Code::internalStateError, "User ID missing while completing login.");
    return;
  }
  if (!listening) {
    wipe(accessToken);
    return;
  }
  const bool saved = KeychainManager::saveJWTAccessToken(accessToken, *userId);
  (void)LastUserRecord::save(*userId);  // kept whatever the token save gave
  if (!saved) {
    wipe(accessToken);
    reportError(attempt, Code::keychainSaveFailed, "Failed to save ID token to keychain.");
    return;
  }
  if (auto callback = finish(attempt)) {
    account::detail::callHost(kTag, [&] { callback->onAuthSuccess(accessToken, std::nullopt, true); });
  }
  wipe(accessToken);
}

// ---- failures ----

void VelqoAuthV4::handleFingerprintError(std::uint64_t attempt, const std::exception& error) {
  std::string message;
  if (const auto* enclave = dynamic_cast<const SecureEnclaveError*>(&error)) {
    message = enclave->errorCase() == SecureEnclaveError::Case::interactionNotAllowed
                  ? "User authentication required for device security setup was cancelled or failed."
                  : "Device security setup failed (" + enclave->localizedDescription() + ").";
  } else {
    message = "Failed to prepare device identifier (" + descriptionOf(error) + ").";
  }
  reportError(attempt, Code::fingerprintError, std::move(message));
}

void VelqoAuthV4::reportError(std::uint64_t attempt, Code code, std::string message) {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->isLive(attempt)) return;  // nobody listens: dropped
  }
  std::string sentence = message.empty() ? std::string(code.userMessage()) : std::move(message);
  std::weak_ptr<VelqoAuthV4> weak = weak_from_this();
  platform::mainQueue().async([weak, attempt, code, sentence = std::move(sentence)] {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<AuthV4Callback> callback;
    {
      std::lock_guard lock(self->state_->mutex);
      if (self->state_->attempt != attempt) return;  // a newer attempt took over meanwhile
      callback = self->state_->callback.lock();
    }
    if (!callback) return;
    // The sentence is the service's or one of ours; no code, token or key ever goes into it.
    debugLog(std::string(kTag) + "Reporting error to callback: " + std::string(code.rawValue()) + " - " +
             sentence);
    account::detail::callHost(kTag, [&] { callback->onError(code, sentence); });
  });
}

std::shared_ptr<AuthV4Callback> VelqoAuthV4::finish(std::uint64_t attempt) {
  std::lock_guard lock(state_->mutex);
  if (state_->attempt != attempt) return nullptr;
  auto callback = state_->callback.lock();
  state_->clearState(/*keepCallback=*/false);
  ++state_->attempt;  // whatever still arrives for the finished attempt is dropped
  return callback;
}

}  // namespace velqo
