#include "account/v4/velqo_auth_v4.hpp"

#include <new>
#include <utility>

#include "account/host_call.hpp"
#include "account/records/last_user_record.hpp"
#include "account/v4/v4_engine_internal.hpp"
#include "core/identity/fingerprint_generator.hpp"
#include "core/identity/secure_enclave_helper.hpp"
#include "core/storage/keychain_manager.hpp"
#include "platform/crypto.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/queue.hpp"

namespace velqo {

using namespace account::detail::v4;

namespace {

constexpr const char* kMobileFingerprintVersion = "mobile_v1";

// M1: four bytes of the secure random source as an unsigned 32-bit decimal.
std::optional<std::string> generateClientChallenge() {
  std::uint8_t bytes[4] = {};
  if (platform::crypto::randomBytes(bytes, sizeof bytes) != 0) return std::nullopt;
  const std::uint32_t value = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                              (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
  return std::to_string(value);
}

std::string descriptionOf(const std::exception& error) {
  if (const auto* platformError = dynamic_cast<const platform::PlatformError*>(&error))
    return platformError->localizedDescription();
  return error.what();
}

}  // namespace

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
  state_->clearFields();
}

// ---- starting an attempt ----

void VelqoAuthV4::setCurrentUserId(const std::string& userid) {
  const auto lock = state_->attempts.lock();
  state_->currentUserId = userid;
}

void VelqoAuthV4::authenticate(const std::string& userid, const std::shared_ptr<AuthV4Callback>& callback) {
  debugLog(std::string(kTag) + "Starting V4 authentication for user: " + userid);
  std::uint64_t attempt = 0;
  {
    const auto lock = state_->attempts.lock();
    state_->clearFields();
    attempt = state_->attempts.begin(lock, callback);
    state_->currentUserId = userid;
  }
  if (const auto refusal = VelqoFrameworkInternalUtils::userIdRefusal(userid)) {
    debugLog(std::string(kTag) + "Refusing " + *refusal + ".");
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
    const auto lock = state_->attempts.lock();
    if (!state_->attempts.isCurrent(lock, attempt)) return;  // a newer attempt took over
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

// The auth-init answer: a challenge for a known device, a session token for a registration.
void VelqoAuthV4::handleAuthInitResponse(std::uint64_t attempt,
                                         ApiService::Outcome<AuthInitResponse> result) {
  const auto* answer = answerFor(attempt, result, "Auth initialization connection failed. ");
  if (!answer) return;
  const auto& [response, status] = *answer;
  if (status == 200 && response.c2) {
    std::optional<std::string> m1;
    std::optional<std::string> er1r2;
    {
      const auto lock = state_->attempts.lock();
      if (!state_->attempts.isCurrent(lock, attempt)) return;
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
      const auto lock = state_->attempts.lock();
      if (!state_->attempts.isLive(lock, attempt)) return;
      state_->currentDeviceTokenSession = response.device_token;
      callback = state_->attempts.currentCallback(lock);
    }
    if (callback) account::detail::callHost(kTag, [&] { callback->onOtpRequired(); });
    return;
  }
  reportError(attempt, Code::authInitFailed,
              answerText(response, withStatus("Auth initialization failed (", status)));
}

// ---- failures and the end of an attempt ----

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
  if (!state_->attempts.isLive(attempt)) return;  // nobody listens: dropped
  std::string sentence = message.empty() ? std::string(code.userMessage()) : std::move(message);
  platform::mainQueue().async(account::detail::forAttempt(
      *this, attempt, [code, sentence = std::move(sentence)](VelqoAuthV4& self, std::uint64_t reported) {
        // A newer attempt may have taken over meanwhile: then this error is dropped.
        const auto callback = self.state_->attempts.callbackFor(reported);
        if (!callback) return;
        // The sentence is the service's or one of ours; no code, token or key ever goes into it.
        debugLog(std::string(kTag) + "Reporting error to callback: " + std::string(code.rawValue()) + " - " +
                 sentence);
        account::detail::callHost(kTag, [&] { callback->onError(code, sentence); });
      }));
}

std::shared_ptr<AuthV4Callback> VelqoAuthV4::finish(std::uint64_t attempt) {
  const auto lock = state_->attempts.lock();
  if (!state_->attempts.isCurrent(lock, attempt)) return nullptr;
  state_->clearFields();
  return state_->attempts.end(lock, attempt);  // whatever still arrives for it is dropped
}

}  // namespace velqo
