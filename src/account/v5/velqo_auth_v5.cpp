#include "account/v5/velqo_auth_v5.hpp"

#include <new>
#include <utility>

#include "account/form/code_redemption.hpp"
#include "account/host_call.hpp"
#include "account/records/last_user_record.hpp"
#include "account/utils/velqo_framework_internal_utils.hpp"
#include "account/v5/v5_engine_internal.hpp"
#include "core/identity/fingerprint_generator.hpp"
#include "core/identity/secure_enclave_helper.hpp"
#include "core/storage/keychain_manager.hpp"
#include "platform/encoding.hpp"
#include "platform/url.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/core/velqo_v1_crypto.hpp"

namespace velqo {

using namespace account::detail::v5;

namespace {

constexpr const char* kDeviceInfoVersion = "mobile_v1";

std::string domainOf(const std::string& authBase) {
  auto url = platform::Url::parse(authBase);
  if (!url || url->host().empty()) return VelqoAuthV5::defaultDomain;
  return url->host();
}

// The device's identity is kept in the data directory (the vendor identifier and the user's
// device secret): a directory that cannot keep it, on a full or read-only disk, is a storage
// failure, not a cryptographic one.
bool isStorageFailure(const std::exception& error) {
  if (const auto* deviceSecret = dynamic_cast<const SecureEnclaveError*>(&error)) {
    return deviceSecret->errorCase() == SecureEnclaveError::Case::unhandledError;
  }
  const auto* platformError = dynamic_cast<const platform::PlatformError*>(&error);
  return platformError && platformError->domain() == FingerprintGenerator::errorDomain &&
         platformError->code() == FingerprintGenerator::vendorIdentifierUnavailable;
}

}  // namespace

namespace account::detail::v5 {

Bytes infoStringOf(const V5EnvironmentInfo& env, std::string_view algorithm) {
  return bytesOf(env.userAgent + env.osType + std::string(algorithm) + env.sdkVersion);
}

std::string hashIndex(const Bytes& salt1, const Bytes& salt2, const Bytes& sk2, const Bytes& combinedPrs,
                      const Bytes& aPeer, const Bytes& sharedSecret, const Bytes& hds,
                      const V5EnvironmentInfo& env, const std::string& userId, const std::string& domain) {
  Bytes dfp = VelqoV1Crypto::computeDFP(hds, env.userAgent, env.osType);
  ScopedWipe wipeDfp(dfp);
  return VelqoV1Crypto::computeHI(salt1, salt2, sk2, combinedPrs, aPeer, sharedSecret, userId, domain, dfp);
}

bool isStaleDeviceError(const platform::PlatformError& error) {
  if (error.domain() != "APIError" || error.code() != 400) return false;
  const std::string text = platform::toLowerAscii(error.localizedDescription());
  return text.find("h2index not found in database") != std::string::npos ||
         text.find("hindex not found in database") != std::string::npos;
}

}  // namespace account::detail::v5

// ---- the attempt ----

void VelqoAuthV5::Steps::fail(const Callback& callback, AuthV5ErrorCode code, const std::string& message) {
  if (!callback) return;
  account::detail::callHost(kTag, [&] { callback->onError(code, message); });
}

void VelqoAuthV5::Steps::setFlow(VelqoAuthV5& e, Attempt attempt, Flow flow) {
  const auto lock = e.state_->attempts.lock();
  if (e.state_->attempts.isCurrent(lock, attempt)) e.state_->flow = flow;
}

VelqoAuthV5::Steps::Retry VelqoAuthV5::Steps::retryRegistration(VelqoAuthV5& e, Attempt attempt,
                                                                const std::string& userId,
                                                                const std::string& logLine) {
  std::optional<MobileDeviceInfoV1> deviceInfo;
  {
    const auto lock = e.state_->attempts.lock();
    if (!e.state_->attempts.isCurrent(lock, attempt)) return Retry::started;
    if (e.state_->hasRetriedAuthInit) return Retry::alreadyUsed;
    e.state_->hasRetriedAuthInit = true;
    e.state_->flow = Flow::registration;
    deviceInfo = e.state_->currentDeviceInfo;
  }
  debugLog(kTag + logLine);
  e.forgetUser(userId);
  KeychainManager::deleteV4PersistentDeviceToken(userId);
  if (deviceInfo) startRegistrationAuthInit(e, attempt, *deviceInfo);
  return Retry::started;
}

void VelqoAuthV5::Steps::authenticate(VelqoAuthV5& e, const std::string& userId,
                                      const std::shared_ptr<AuthV5Callback>& cb) {
  State& s = *e.state_;
  Attempt attempt = 0;
  {
    const auto lock = s.attempts.lock();
    s.clearFields();
    attempt = s.attempts.begin(lock, cb);
    s.currentUserId = userId;
  }
  if (const auto refusal = VelqoFrameworkInternalUtils::userIdRefusal(userId)) {
    debugLog(std::string(kTag) + "Refusing " + *refusal + ".");
    fail(s.attempts.callbackFor(attempt), AuthV5ErrorCode::invalidInput, sentence::invalidInput);
    return;
  }
  MobileDeviceInfoV1 deviceInfo;
  try {
    deviceInfo.fp_version = kDeviceInfoVersion;
    deviceInfo.fingerprint_hash = FingerprintGenerator::generateFingerprint(userId);
    deviceInfo.sdab_attributes = FingerprintGenerator::generateSdabAttributes().basicAttributes();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    if (isStorageFailure(error)) {
      fail(s.attempts.callbackFor(attempt), AuthV5ErrorCode::secureStorageError, sentence::secureStorage);
    } else {
      fail(s.attempts.callbackFor(attempt), AuthV5ErrorCode::cryptoError, sentence::crypto);
    }
    return;
  }
  {
    const auto lock = s.attempts.lock();
    if (!s.attempts.isCurrent(lock, attempt)) return;
    s.currentDeviceInfo = deviceInfo;
    s.currentEnvironment = V5EnvironmentInfo::current();
  }

  std::optional<V5KeyMaterial> material;
  try {
    material = e.credentialStore_.load(userId);
  } catch (const V5CredentialStoreError& error) {
    if (error.errorCase() == V5CredentialStoreError::Case::legacyPayloadDetected) {
      debugLog(std::string(kTag) + "Legacy credential payload detected for user " + userId +
               ". Forcing re-registration.");
      e.forgetUser(userId);
      setFlow(e, attempt, Flow::registration);
      startRegistrationAuthInit(e, attempt, deviceInfo);
      return;
    }
    fail(s.attempts.callbackFor(attempt), AuthV5ErrorCode::secureStorageError, sentence::secureStorage);
    return;
  }
  if (material) {
    e.pendingStore_.remove(userId);
    setFlow(e, attempt, Flow::login);
    startLoginAuthInit(e, attempt, std::move(*material), deviceInfo);
    return;
  }

  const auto pending = e.pendingStore_.load(userId);
  if (pending && pending->fingerprintHash == deviceInfo.fingerprint_hash) {
    debugLog(std::string(kTag) + "Resuming pending registration for user " + userId);
    Callback callback;
    {
      const auto lock = s.attempts.lock();
      if (!s.attempts.isCurrent(lock, attempt)) return;
      s.flow = Flow::registration;
      s.currentEnvironment = pending->environment;
      s.registrationContext = RegistrationContext{pending->deviceToken, nullptr, /*resumed=*/true};
      callback = s.attempts.currentCallback(lock);
    }
    if (callback) account::detail::callHost(kTag, [&] { callback->onOtpRequired(); });
    return;
  }
  if (pending) {
    debugLog(std::string(kTag) + "Pending registration fingerprint mismatch for user " + userId +
             "; clearing pending state.");
    e.pendingStore_.remove(userId);
  }
  setFlow(e, attempt, Flow::registration);
  startRegistrationAuthInit(e, attempt, deviceInfo);
}

// ---- VelqoAuthV5 ----

std::string VelqoAuthV5::defaultServiceName() {
  return KeychainManager::serviceName() + ".velqo.v5";
}

VelqoAuthV5::VelqoAuthV5(Passkey, std::shared_ptr<const ApiService> apiService,
                         std::optional<VelqoOAuthConfig> oauthConfig, EndPoints endPoints)
    : apiService_(std::move(apiService)),
      credentialStore_(defaultServiceName()),
      pendingStore_(defaultServiceName() + ".pending"),
      endPoints_(std::move(endPoints)),
      domain_(domainOf(endPoints_.authBase)),
      state_(std::make_unique<State>()) {
  if (oauthConfig) {
    oauthVerifier_ = OAuthTokenVerifier{oauthConfig->publicKeyPem, oauthConfig->clientId};
    oauthHandling_.value = OAuthHandlingStrategy::SdkManaged{std::move(*oauthConfig)};
  }
}

VelqoAuthV5::~VelqoAuthV5() = default;

std::shared_ptr<VelqoAuthV5> VelqoAuthV5::create(std::shared_ptr<const ApiService> apiService,
                                                 std::optional<VelqoOAuthConfig> oauthConfig,
                                                 EndPoints endPoints) {
  return std::make_shared<VelqoAuthV5>(Passkey{}, std::move(apiService), std::move(oauthConfig),
                                       std::move(endPoints));
}

void VelqoAuthV5::authenticate(const std::string& userid, const std::shared_ptr<AuthV5Callback>& callback) {
  Steps::authenticate(*this, userid, callback);
}

void VelqoAuthV5::submitOtp(const std::string& otp) {
  Steps::submitOtp(*this, otp);
}

void VelqoAuthV5::forgetUser(const std::string& userId) const {
  credentialStore_.remove(userId);
  credentialStore_.secureWrapper().deleteKey(userId);
  pendingStore_.remove(userId);
}

}  // namespace velqo
