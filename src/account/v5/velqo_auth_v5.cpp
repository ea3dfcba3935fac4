#include "account/v5/velqo_auth_v5.hpp"

#include <mutex>
#include <utility>

#include "account/form/code_redemption.hpp"
#include "account/host_call.hpp"
#include "account/records/last_user_record.hpp"
#include "account/utils/velqo_framework_internal_utils.hpp"
#include "account/v5/v5_crypto.hpp"
#include "api/models/v5_records.hpp"
#include "core/identity/fingerprint_generator.hpp"
#include "core/identity/secure_enclave_helper.hpp"
#include "core/storage/keychain_manager.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "platform/url.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/core/velqo_v1_crypto.hpp"
#include "velqo/platform/clock.hpp"

namespace velqo {

namespace {

constexpr const char* kTag = "[VelqoAuthV5] ";
constexpr const char* kDeviceInfoVersion = "mobile_v1";
constexpr std::uint8_t kPayloadVersion = 1;
constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kSigningKeySize = 32;

// The sentences of every failure, as the host application shows them.
namespace sentence {
constexpr const char* crypto = "A cryptographic error occurred. Please retry the authentication.";
constexpr const char* secureStorage = "Failed to securely store credentials on this device.";
constexpr const char* internalState =
    "An internal application error occurred. Please restart the authentication flow.";
constexpr const char* network = "A network error occurred. Please check your connection and try again.";
constexpr const char* authInit = "Failed to start authentication. Please try again.";
constexpr const char* missingContext =
    "Registration context missing or expired. Restart the authentication flow.";
constexpr const char* invalidInput = "Invalid input provided. Please verify the information and retry.";
constexpr const char* otp = "The verification code is incorrect or expired. Please request a new code.";
constexpr const char* deviceVerification = "Failed to register this device. Please try again.";
constexpr const char* loginIntegrity = "Device integrity validation failed. Please re-register this device.";
constexpr const char* unknown = "An unexpected error occurred. Please try again.";
constexpr const char* tokenStorage =
    "Login succeeded but saving session tokens failed. Please sign in again.";
constexpr const char* oauthMissing = "Unable to complete sign-in because OAuth settings are missing.";
constexpr const char* oauthExchange = "We couldn't finish signing you in. Please retry the login.";
constexpr const char* oauthValidation =
    "We couldn't validate the server response. Please try signing in again.";
}  // namespace sentence

using Attempt = std::uint64_t;

// What submitOtp derives for a registration. Secret bytes are wiped with it.
struct RegistrationArtifacts {
  std::string keysetBase64;
  std::string hindex;
  Bytes salt0;
  Bytes salt1;
  Bytes salt2;
  Bytes combinedPrs;
  Bytes infoString;
  V5EnvironmentInfo environment;
  Bytes aPeer;
  std::uint8_t version = kPayloadVersion;
  std::string algorithmUsed{V5Crypto::algorithm};
  V5WrapMetadata wrapMetadata = V5WrapMetadata::fallback({});

  RegistrationArtifacts() = default;
  RegistrationArtifacts(const RegistrationArtifacts&) = delete;
  RegistrationArtifacts& operator=(const RegistrationArtifacts&) = delete;
  ~RegistrationArtifacts() {
    for (Bytes* b : {&salt0, &salt1, &salt2, &combinedPrs, &aPeer}) wipe(*b);
  }
};
using ArtifactsRef = std::shared_ptr<const RegistrationArtifacts>;

struct RegistrationContext {
  std::string deviceToken;
  ArtifactsRef artifacts;
  bool resumed = false;  // taken from the pending store rather than from this attempt's auth-init
};

// What a login carries from its auth-init to the answer of the challenge.
struct LoginContext {
  std::string userId;
  MobileDeviceInfoV1 deviceInfo;
  V5KeyMaterial material;
  Bytes sharedSecret;
  V5EnvironmentInfo environment;
  std::string hindex;
  bool afterRegistration = false;

  ~LoginContext() { wipe(sharedSecret); }
};

Bytes concat(std::initializer_list<const Bytes*> parts) {
  Bytes out;
  for (const Bytes* p : parts) out.insert(out.end(), p->begin(), p->end());
  return out;
}

Bytes infoStringOf(const V5EnvironmentInfo& env, std::string_view algorithm) {
  return bytesOf(env.userAgent + env.osType + std::string(algorithm) + env.sdkVersion);
}

// The device fingerprint digest and the hash index: the same digests as the device-trust suite,
// with the V5 user agent in place of the bundle identifier.
std::string hashIndex(const Bytes& salt1, const Bytes& salt2, const Bytes& sk2, const Bytes& combinedPrs,
                      const Bytes& aPeer, const Bytes& sharedSecret, const Bytes& hds,
                      const V5EnvironmentInfo& env, const std::string& userId, const std::string& domain) {
  Bytes dfp = VelqoV1Crypto::computeDFP(hds, env.userAgent, env.osType);
  ScopedWipe wipeDfp(dfp);
  return VelqoV1Crypto::computeHI(salt1, salt2, sk2, combinedPrs, aPeer, sharedSecret, userId, domain, dfp);
}

std::string domainOf(const std::string& authBase) {
  auto url = platform::Url::parse(authBase);
  if (!url || url->host().empty()) return VelqoAuthV5::defaultDomain;
  return url->host();
}

bool isStaleDeviceError(const platform::PlatformError& error) {
  if (error.domain() != "APIError" || error.code() != 400) return false;
  const std::string text = platform::toLowerAscii(error.localizedDescription());
  return text.find("h2index not found in database") != std::string::npos ||
         text.find("hindex not found in database") != std::string::npos;
}

// Registration answers refused by the service (a code that does not verify, a device that is
// not accepted) carry a {"detail"} body that decodes as the answer record; only a success
// status lets the registration go on.
bool isSuccessStatus(long status) {
  return status >= 200 && status < 300;
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

struct VelqoAuthV5::State {
  std::mutex mutex;
  std::weak_ptr<AuthV5Callback> callback;
  std::optional<std::string> currentUserId;
  std::optional<MobileDeviceInfoV1> currentDeviceInfo;
  std::optional<V5EnvironmentInfo> currentEnvironment;
  std::optional<RegistrationContext> registrationContext;
  bool isLoginFlow = false;  // kept for diagnostics; nothing reads it
  bool hasRetriedAuthInit = false;
  Attempt attempt = 0;

  void reset(bool keepCallback) {
    currentUserId.reset();
    currentDeviceInfo.reset();
    currentEnvironment.reset();
    registrationContext.reset();
    isLoginFlow = false;
    hasRetriedAuthInit = false;
    if (!keepCallback) callback.reset();
  }
};

// The steps of an attempt. Each one decides under the lock and acts after it; every step that
// runs after an answer first checks that its attempt is still the current one.
struct VelqoAuthV5::Steps {
  using Callback = std::shared_ptr<AuthV5Callback>;
  enum class Retry { started, alreadyUsed };

  // The callback of the attempt, or nothing when it is gone or the attempt was superseded.
  static Callback callbackFor(VelqoAuthV5& e, Attempt attempt) {
    std::lock_guard lock(e.state_->mutex);
    if (attempt != e.state_->attempt) return nullptr;
    return e.state_->callback.lock();
  }

  static void fail(const Callback& callback, AuthV5ErrorCode code, const std::string& message) {
    if (!callback) return;
    account::detail::callHost(kTag, [&] { callback->onError(code, message); });
  }

  static void setLoginFlow(VelqoAuthV5& e, Attempt attempt, bool isLoginFlow) {
    std::lock_guard lock(e.state_->mutex);
    if (attempt == e.state_->attempt) e.state_->isLoginFlow = isLoginFlow;
  }

  static std::string url(const VelqoAuthV5& e, const char* path) { return e.endPoints_.authBase + path; }

  // Clears what the device holds for the user so that it registers afresh.
  static void clearStoredCredentials(VelqoAuthV5& e, const std::string& userId) {
    e.credentialStore_.remove(userId);
    e.credentialStore_.secureWrapper().deleteKey(userId);
    e.pendingStore_.remove(userId);
    KeychainManager::deleteV4PersistentDeviceToken(userId);
  }

  // The attempt's one clear-and-register-again. `alreadyUsed` leaves reporting to the caller; a
  // superseded attempt does nothing and counts as started.
  static Retry retryRegistration(VelqoAuthV5& e, Attempt attempt, const std::string& userId,
                                 const std::string& logLine) {
    std::optional<MobileDeviceInfoV1> deviceInfo;
    {
      std::lock_guard lock(e.state_->mutex);
      if (attempt != e.state_->attempt) return Retry::started;
      if (e.state_->hasRetriedAuthInit) return Retry::alreadyUsed;
      e.state_->hasRetriedAuthInit = true;
      e.state_->isLoginFlow = false;
      deviceInfo = e.state_->currentDeviceInfo;
    }
    debugLog(kTag + logLine);
    clearStoredCredentials(e, userId);
    if (deviceInfo) startRegistrationAuthInit(e, attempt, *deviceInfo);
    return Retry::started;
  }

  // ---- registration ----

  static void startRegistrationAuthInit(VelqoAuthV5& e, Attempt attempt,
                                        const MobileDeviceInfoV1& deviceInfo) {
    std::optional<std::string> userId;
    Callback callback;
    {
      std::lock_guard lock(e.state_->mutex);
      if (attempt != e.state_->attempt) return;
      userId = e.state_->currentUserId;
      callback = e.state_->callback.lock();
    }
    if (!userId) {
      fail(callback, AuthV5ErrorCode::internalStateError, sentence::internalState);
      return;
    }
    const AuthInitV5Request body{*userId, deviceInfo, std::nullopt, std::nullopt};
    e.apiService_->post<AuthInitV5Response>(url(e, "/v5/auth-init"), body, std::nullopt,
                                            [weak = e.weak_from_this(), attempt, userId = *userId,
                                             deviceInfo](ApiService::Outcome<AuthInitV5Response> outcome) {
                                              if (auto self = weak.lock())
                                                handleRegistrationAuthInitResult(
                                                    *self, attempt, userId, deviceInfo, std::move(outcome));
                                            });
  }

  static void handleRegistrationAuthInitResult(VelqoAuthV5& e, Attempt attempt, const std::string& userId,
                                               const MobileDeviceInfoV1& deviceInfo,
                                               ApiService::Outcome<AuthInitV5Response> outcome) {
    Callback callback = callbackFor(e, attempt);
    if (!callback) return;
    if (!outcome) {
      if (isStaleDeviceError(outcome.error()) &&
          retryRegistration(e, attempt, userId,
                            "auth-init (registration) hindex missing for user " + userId +
                                ". Retrying with fresh registration state.") == Retry::started) {
        return;
      }
      fail(callback, AuthV5ErrorCode::networkError, sentence::network);
      return;
    }
    const auto& deviceToken = outcome.value().first.device_token;
    if (!deviceToken) {
      fail(callback, AuthV5ErrorCode::authInitFailed, sentence::authInit);
      return;
    }
    std::optional<V5EnvironmentInfo> environment;
    {
      std::lock_guard lock(e.state_->mutex);
      if (attempt != e.state_->attempt) return;
      e.state_->registrationContext = RegistrationContext{*deviceToken, nullptr};
      environment = e.state_->currentEnvironment;
    }
    if (environment) {
      e.pendingStore_.save(V5PendingRegistration{userId, *deviceToken, deviceInfo.fingerprint_hash,
                                                 *environment, platform::nowSecondsSince1970()});
    }
    account::detail::callHost(kTag, [&] { callback->onOtpRequired(); });
  }

  static ArtifactsRef makeArtifacts(const VelqoAuthV5& e, const std::string& userId,
                                    const V5EnvironmentInfo& env) {
    V5WrappedSecret wrapped = e.credentialStore_.secureWrapper().wrapSharedSecret(userId);
    const Bytes& secret = wrapped.sharedSecret;
    auto a = std::make_shared<RegistrationArtifacts>();
    a->salt0 = V5Crypto::randomBytes(kSaltSize);
    a->salt1 = V5Crypto::randomBytes(kSaltSize);
    a->salt2 = V5Crypto::randomBytes(kSaltSize);
    Bytes sk0 = V5Crypto::deriveSK0(secret, a->salt0);
    ScopedWipe wipeSk0(sk0);
    Bytes sk2 = V5Crypto::deriveSK2(secret, a->salt1);
    ScopedWipe wipeSk2(sk2);
    Bytes hds = V5Crypto::deriveHDS(secret, a->salt2);
    ScopedWipe wipeHds(hds);

    Bytes privateRaw = V5Crypto::randomBytes(kSigningKeySize);
    ScopedWipe wipePrivate(privateRaw);
    auto publicRaw = platform::crypto::ed25519PublicKey(platform::crypto::view(privateRaw));
    if (!publicRaw) throw V5CryptoError::make(V5CryptoError::Case::signingFailed);

    a->combinedPrs = V5Crypto::seal(sk0, privateRaw);
    Bytes sk1 = V5Crypto::deriveSK1(secret, a->combinedPrs);
    ScopedWipe wipeSk1(sk1);
    a->infoString = infoStringOf(env, V5Crypto::algorithm);
    Bytes saltPlain = concat({&a->salt0, &a->infoString});
    ScopedWipe wipeSaltPlain(saltPlain);
    const Bytes combinedSalt = V5Crypto::seal(sk1, saltPlain);
    const Bytes keysetPlain = concat({&*publicRaw, &combinedSalt});
    a->keysetBase64 = platform::base64Encode(V5Crypto::seal(sk2, keysetPlain));
    a->aPeer = wrapped.metadata.value();
    a->hindex =
        hashIndex(a->salt1, a->salt2, sk2, a->combinedPrs, a->aPeer, secret, hds, env, userId, e.domain_);
    a->environment = env;
    a->wrapMetadata = wrapped.metadata;
    return a;
  }

  static void submitOtp(VelqoAuthV5& e, const std::string& otp) {
    Callback callback;
    Attempt attempt = 0;
    std::optional<std::string> userId;
    std::optional<MobileDeviceInfoV1> deviceInfo;
    std::optional<V5EnvironmentInfo> environment;
    std::optional<RegistrationContext> context;
    {
      std::lock_guard lock(e.state_->mutex);
      callback = e.state_->callback.lock();
      if (!callback) return;
      attempt = e.state_->attempt;
      userId = e.state_->currentUserId;
      deviceInfo = e.state_->currentDeviceInfo;
      environment = e.state_->currentEnvironment;
      context = e.state_->registrationContext;
    }
    if (!userId || !deviceInfo || !environment || !context) {
      fail(callback, AuthV5ErrorCode::missingRegistrationContext, sentence::missingContext);
      return;
    }
    std::string code = platform::trimWhitespace(otp);
    if (code.empty()) {
      fail(callback, AuthV5ErrorCode::invalidInput, sentence::invalidInput);
      return;
    }
    ArtifactsRef artifacts;
    try {
      artifacts = makeArtifacts(e, *userId, *environment);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      fail(callback, AuthV5ErrorCode::cryptoError, sentence::crypto);
      return;
    }
    {
      std::lock_guard lock(e.state_->mutex);
      if (attempt != e.state_->attempt) return;
      if (e.state_->registrationContext) e.state_->registrationContext->artifacts = artifacts;
    }
    const VerifyOtpV5Request body{context->deviceToken, code, *deviceInfo, artifacts->keysetBase64,
                                  artifacts->hindex};
    wipe(code);
    const std::optional<std::string> resumedToken =
        context->resumed ? std::optional<std::string>(context->deviceToken) : std::nullopt;
    e.apiService_->post<VerifyOtpV5Response>(
        url(e, "/v5/verify-otp"), body, std::nullopt,
        [weak = e.weak_from_this(), attempt, weakCallback = std::weak_ptr<AuthV5Callback>(callback),
         userId = *userId, deviceToken = context->deviceToken, resumedToken,
         artifacts](ApiService::Outcome<VerifyOtpV5Response> outcome) {
          auto self = weak.lock();
          if (!self) return;
          handleVerifyOtpResult(*self, attempt, weakCallback.lock(), userId, deviceToken, resumedToken,
                                artifacts, std::move(outcome));
        });
  }

  // A resumed registration that the service refuses is not offered again: its device token
  // may already be spent (a verify-device answer lost, or a process that ended before saving
  // the record), and every later attempt would re-send it and be refused until it expired.
  // The next attempt starts a new registration. The pending item is removed only while it
  // still holds that token.
  static void dropRefusedRegistration(VelqoAuthV5& e, const std::string& userId,
                                      const std::optional<std::string>& resumedToken) {
    if (!resumedToken) return;
    const auto pending = e.pendingStore_.load(userId);
    if (pending && pending->deviceToken == *resumedToken) e.pendingStore_.remove(userId);
  }

  static void handleVerifyOtpResult(VelqoAuthV5& e, Attempt attempt, const Callback& submitter,
                                    const std::string& userId, const std::string& contextToken,
                                    const std::optional<std::string>& resumedToken,
                                    const ArtifactsRef& artifacts,
                                    ApiService::Outcome<VerifyOtpV5Response> outcome) {
    {
      std::lock_guard lock(e.state_->mutex);
      if (attempt != e.state_->attempt) return;
    }
    if (!outcome || !isSuccessStatus(outcome.value().second)) {
      dropRefusedRegistration(e, userId, resumedToken);
      fail(submitter, AuthV5ErrorCode::otpVerificationFailed, sentence::otp);
      return;
    }
    verifyDevice(e, attempt, outcome.value().first.device_token.value_or(contextToken), resumedToken,
                 artifacts);
  }

  static void verifyDevice(VelqoAuthV5& e, Attempt attempt, const std::string& deviceToken,
                           const std::optional<std::string>& resumedToken, const ArtifactsRef& artifacts) {
    Callback callback;
    std::optional<std::string> userId;
    std::optional<MobileDeviceInfoV1> deviceInfo;
    {
      std::lock_guard lock(e.state_->mutex);
      if (attempt != e.state_->attempt) return;
      callback = e.state_->callback.lock();
      userId = e.state_->currentUserId;
      deviceInfo = e.state_->currentDeviceInfo;
    }
    if (!callback) return;
    if (!userId || !deviceInfo) {
      fail(callback, AuthV5ErrorCode::missingRegistrationContext, sentence::missingContext);
      return;
    }
    const VerifyDeviceV5Request body{*userId, *deviceInfo, deviceToken, artifacts->hindex};
    e.apiService_->post<VerifyDeviceV5Response>(
        url(e, "/v5/verify-device"), body, std::nullopt,
        [weak = e.weak_from_this(), attempt, artifacts, deviceToken, resumedToken, userId = *userId,
         deviceInfo = *deviceInfo](ApiService::Outcome<VerifyDeviceV5Response> outcome) {
          if (auto self = weak.lock()) {
            handleVerifyDeviceResult(*self, attempt, artifacts, deviceToken, resumedToken, userId, deviceInfo,
                                     std::move(outcome));
          }
        });
  }

  static V5StoredPayload payloadOf(const RegistrationArtifacts& a, const std::string& deviceToken) {
    V5StoredPayload p;
    p.salt0 = platform::base64Encode(a.salt0);
    p.salt1 = platform::base64Encode(a.salt1);
    p.salt2 = platform::base64Encode(a.salt2);
    p.combinedPrs = platform::base64Encode(a.combinedPrs);
    p.aPeer = platform::base64Encode(a.aPeer);
    p.version = a.version;
    p.algorithmUsed = a.algorithmUsed;
    p.osType = a.environment.osType;
    p.userAgent = a.environment.userAgent;
    p.sdkVersion = a.environment.sdkVersion;
    p.infoString = platform::base64Encode(a.infoString);
    p.wrapMetadata = a.wrapMetadata;
    p.deviceToken = deviceToken;
    return p;
  }

  static V5KeyMaterial materialOf(const RegistrationArtifacts& a, const std::string& deviceToken) {
    V5KeyMaterial m;
    m.salt0 = a.salt0;
    m.salt1 = a.salt1;
    m.salt2 = a.salt2;
    m.combinedPrs = a.combinedPrs;
    m.infoString = a.infoString;
    m.aPeer = a.aPeer;
    m.version = a.version;
    m.algorithmUsed = a.algorithmUsed;
    m.environment = a.environment;
    m.wrapMetadata = a.wrapMetadata;
    m.deviceToken = deviceToken;
    return m;
  }

  static void handleVerifyDeviceResult(VelqoAuthV5& e, Attempt attempt, const ArtifactsRef& artifacts,
                                       const std::string& deviceToken,
                                       const std::optional<std::string>& resumedToken,
                                       const std::string& userId, const MobileDeviceInfoV1& deviceInfo,
                                       ApiService::Outcome<VerifyDeviceV5Response> outcome) {
    Callback callback = callbackFor(e, attempt);
    if (!callback) return;
    if (!outcome || !isSuccessStatus(outcome.value().second)) {
      dropRefusedRegistration(e, userId, resumedToken);
      fail(callback, AuthV5ErrorCode::deviceVerificationFailed, sentence::deviceVerification);
      return;
    }
    try {
      e.credentialStore_.save(payloadOf(*artifacts, deviceToken), userId);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      fail(callback, AuthV5ErrorCode::secureStorageError, sentence::secureStorage);
      return;
    }
    (void)KeychainManager::saveV4PersistentDeviceToken(deviceToken, userId);
    e.pendingStore_.remove(userId);
    startLoginAuthInit(e, attempt, materialOf(*artifacts, deviceToken), deviceInfo,
                       /*afterRegistration=*/true);
  }

  // ---- login ----

  static void startLoginAuthInit(VelqoAuthV5& e, Attempt attempt, V5KeyMaterial material,
                                 const MobileDeviceInfoV1& deviceInfo, bool afterRegistration) {
    Callback callback;
    std::optional<std::string> userId;
    std::optional<V5EnvironmentInfo> environment;
    {
      std::lock_guard lock(e.state_->mutex);
      if (attempt != e.state_->attempt) return;
      callback = e.state_->callback.lock();
      userId = e.state_->currentUserId;
      environment = e.state_->currentEnvironment;
    }
    if (!callback || !userId) return;
    if (!environment) {
      fail(callback, AuthV5ErrorCode::internalStateError, sentence::internalState);
      return;
    }
    auto login = std::make_shared<LoginContext>();
    login->userId = *userId;
    login->deviceInfo = deviceInfo;
    login->environment = *environment;
    login->afterRegistration = afterRegistration;
    std::string sk2Base64;
    try {
      login->sharedSecret =
          e.credentialStore_.secureWrapper().unwrapSharedSecret(material.wrapMetadata, *userId);
      Bytes sk2 = V5Crypto::deriveSK2(login->sharedSecret, material.salt1);
      ScopedWipe wipeSk2(sk2);
      Bytes hds = V5Crypto::deriveHDS(login->sharedSecret, material.salt2);
      ScopedWipe wipeHds(hds);
      login->hindex = hashIndex(material.salt1, material.salt2, sk2, material.combinedPrs, material.aPeer,
                                login->sharedSecret, hds, *environment, *userId, e.domain_);
      sk2Base64 = platform::base64Encode(sk2);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      if (retryRegistration(e, attempt, *userId,
                            "sharedSecret retrieval failed for user " + *userId +
                                ". Clearing stored material and retrying registration.") ==
          Retry::alreadyUsed) {
        fail(callback, AuthV5ErrorCode::secureStorageError, sentence::secureStorage);
      }
      return;
    }
    login->material = std::move(material);
    AuthInitV5Request body{*userId, deviceInfo, login->hindex, sk2Base64};
    wipe(sk2Base64);
    e.apiService_->post<AuthInitV5Response>(
        url(e, "/v5/auth-init"), body, std::nullopt,
        [weak = e.weak_from_this(), attempt, login](ApiService::Outcome<AuthInitV5Response> outcome) {
          if (auto self = weak.lock()) {
            handleLoginAuthInitResult(*self, attempt, *login, std::move(outcome));
          }
        });
    wipe(*body.sk2);
  }

  static void handleLoginAuthInitResult(VelqoAuthV5& e, Attempt attempt, const LoginContext& login,
                                        ApiService::Outcome<AuthInitV5Response> outcome) {
    Callback callback = callbackFor(e, attempt);
    if (!callback) return;
    const std::string& user = login.userId;
    if (!outcome) {
      if (isStaleDeviceError(outcome.error()) &&
          retryRegistration(e, attempt, user,
                            "auth-init (login) hindex missing for user " + user +
                                ". Clearing stored material and retrying registration flow.") ==
              Retry::started) {
        return;
      }
      fail(callback, AuthV5ErrorCode::networkError, sentence::network);
      return;
    }
    const AuthInitV5Response& answer = outcome.value().first;
    std::optional<Bytes> r2 = answer.r2 ? platform::base64Decode(*answer.r2) : std::nullopt;
    if (!answer.challenge || !r2) {
      if (retryRegistration(e, attempt, user,
                            "auth-init (login) missing challenge/r2 for user " + user +
                                ". Clearing stored state and retrying registration.") == Retry::alreadyUsed) {
        fail(callback, AuthV5ErrorCode::internalStateError, sentence::internalState);
      }
      return;
    }
    if (login.material.version != kPayloadVersion) {
      if (retryRegistration(e, attempt, user,
                            "Payload version mismatch for user " + user +
                                ". Clearing stored material and retrying registration.") ==
          Retry::alreadyUsed) {
        e.credentialStore_.remove(user);
        e.credentialStore_.secureWrapper().deleteKey(user);
        fail(callback, AuthV5ErrorCode::loginIntegrityFailed, sentence::loginIntegrity);
      }
      return;
    }
    V5Crypto::SignedChallenge signedChallenge;
    try {
      signedChallenge = answerChallenge(e, login, *answer.challenge, *r2);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      if (retryRegistration(e, attempt, user,
                            "Crypto error during login for user " + user +
                                ". Clearing stored material and retrying registration.") ==
          Retry::alreadyUsed) {
        fail(callback, AuthV5ErrorCode::cryptoError, sentence::crypto);
      }
      return;
    }
    {
      std::lock_guard lock(e.state_->mutex);
      if (attempt != e.state_->attempt || !e.state_->currentUserId || e.state_->callback.expired()) return;
    }
    const VerifyCipherV5Request body{user,
                                     signedChallenge.signature,
                                     login.hindex,
                                     login.deviceInfo,
                                     login.material.deviceToken,
                                     signedChallenge.message};
    e.apiService_->post<VerifyCipherV5Response>(
        url(e, "/v5/verify-cipher"), body, std::nullopt,
        [weak = e.weak_from_this(), attempt, afterRegistration = login.afterRegistration](
            ApiService::Outcome<VerifyCipherV5Response> cipherOutcome) {
          if (auto self = weak.lock())
            handleVerifyCipherResult(*self, attempt, afterRegistration, std::move(cipherOutcome));
        });
  }

  // Opens the service's combined salt, recovers the signing key and signs the challenge
  // followed by the domain. Throws V5CryptoError.
  static V5Crypto::SignedChallenge answerChallenge(const VelqoAuthV5& e, const LoginContext& login,
                                                   const std::string& challenge, const Bytes& r2) {
    const Bytes& secret = login.sharedSecret;
    const Bytes expectedInfo = infoStringOf(login.environment, login.material.algorithmUsed);
    Bytes sk1 = V5Crypto::deriveSK1(secret, login.material.combinedPrs);
    ScopedWipe wipeSk1(sk1);
    Bytes salt0 = V5Crypto::openCombinedSalt(r2, sk1, expectedInfo);
    ScopedWipe wipeSalt0(salt0);
    Bytes sk0 = V5Crypto::deriveSK0(secret, salt0);
    ScopedWipe wipeSk0(sk0);
    Bytes privateRaw = V5Crypto::open(sk0, login.material.combinedPrs);
    ScopedWipe wipePrivate(privateRaw);
    return V5Crypto::signChallenge(challenge, e.domain_, privateRaw);
  }

  static void handleVerifyCipherResult(VelqoAuthV5& e, Attempt attempt, bool afterRegistration,
                                       ApiService::Outcome<VerifyCipherV5Response> outcome) {
    Callback callback = callbackFor(e, attempt);
    if (!callback) return;
    if (!outcome) {
      fail(callback, AuthV5ErrorCode::cryptoError, sentence::crypto);
      return;
    }
    // A refused answer carries no ending, whatever its body holds: never a sign-in.
    if (!isSuccessStatus(outcome.value().second)) {
      fail(callback, AuthV5ErrorCode::unknownError, sentence::unknown);
      return;
    }
    const VerifyCipherV5Response& answer = outcome.value().first;
    if (answer.session_id) {
      const std::optional<std::string> detail = answer.detail ? answer.detail : answer.message;
      account::detail::callHost(
          kTag, [&] { callback->onAdditionalVerificationRequired(*answer.session_id, detail); });
    } else if (answer.token) {
      storeTokens(e, attempt, *answer.token, afterRegistration);
    } else if (answer.code) {
      if (std::holds_alternative<OAuthHandlingStrategy::SdkManaged>(e.oauthHandling_.value)) {
        redeemAuthorizationCode(e, attempt, *answer.code, afterRegistration);
      } else {
        account::detail::callHost(kTag,
                                  [&] { callback->onAuthorizationCode(*answer.code, answer.expires_in); });
      }
    } else {
      fail(callback, AuthV5ErrorCode::unknownError, sentence::unknown);
    }
  }

  static void storeTokens(VelqoAuthV5& e, Attempt attempt, const std::string& token, bool afterRegistration) {
    Callback callback;
    std::optional<std::string> userId;
    {
      std::lock_guard lock(e.state_->mutex);
      if (attempt != e.state_->attempt) return;
      callback = e.state_->callback.lock();
      userId = e.state_->currentUserId;
    }
    if (!callback || !userId) return;
    const bool accessSaved = KeychainManager::saveJWTAccessToken(token, *userId);
    const bool refreshSaved = KeychainManager::saveJWTRefreshToken(token, *userId);
    if (!accessSaved || !refreshSaved) {
      fail(callback, AuthV5ErrorCode::tokenStorageFailed, sentence::tokenStorage);
      return;
    }
    (void)LastUserRecord::save(*userId);
    account::detail::callHost(kTag, [&] { callback->onAuthSuccess(token, token, !afterRegistration); });
  }

  // ---- authorization codes ----

  static void redeemAuthorizationCode(VelqoAuthV5& e, Attempt attempt, const std::string& code,
                                      bool afterRegistration) {
    const auto* managed = std::get_if<OAuthHandlingStrategy::SdkManaged>(&e.oauthHandling_.value);
    if (!managed || !e.oauthVerifier_) {
      fail(callbackFor(e, attempt), AuthV5ErrorCode::oauthConfigurationMissing, sentence::oauthMissing);
      return;
    }
    const auto endpoint = platform::Url::parse(managed->config.tokenEndpoint);
    debugLog(std::string(kTag) + "Redeeming authorization code at OAuth endpoint: " +
             (endpoint ? endpoint->text() : managed->config.tokenEndpoint));
    velqo::redeemAuthorizationCode(
        managed->config, *e.oauthVerifier_, code,
        [weak = e.weak_from_this(), attempt, afterRegistration](CodeRedemptionResult result) {
          if (auto self = weak.lock()) {
            handleCodeRedemptionResult(*self, attempt, afterRegistration, result);
          }
        });
  }

  static void handleCodeRedemptionResult(VelqoAuthV5& e, Attempt attempt, bool afterRegistration,
                                         const CodeRedemptionResult& result) {
    Callback callback = callbackFor(e, attempt);
    if (!callback) return;
    switch (result.kind) {
      case CodeRedemptionResult::Kind::exchangeError:
        fail(callback, AuthV5ErrorCode::oauthExchangeFailed, sentence::oauthExchange);
        return;
      case CodeRedemptionResult::Kind::exchangeRejected:
        debugLog(std::string(kTag) + "Authorization code exchange failed with status " +
                 std::to_string(result.status) + ".");
        fail(callback, AuthV5ErrorCode::oauthExchangeFailed, sentence::oauthExchange);
        return;
      case CodeRedemptionResult::Kind::verificationFailed:
        if (result.verifierCase) {
          const std::string text(verifierCaseSentence(*result.verifierCase));
          debugLog(std::string(kTag) + "Token verification failed: " + text);
          fail(callback, AuthV5ErrorCode::oauthTokenVerificationFailed, text);
        } else {
          debugLog(std::string(kTag) + "Token verification threw unexpected error: " + result.description);
          fail(callback, AuthV5ErrorCode::oauthTokenVerificationFailed, sentence::oauthValidation);
        }
        return;
      case CodeRedemptionResult::Kind::redeemed:
        storeTokens(e, attempt, result.idToken, afterRegistration);
        return;
    }
  }

  // ---- start ----

  static void authenticate(VelqoAuthV5& e, const std::string& userId,
                           const std::shared_ptr<AuthV5Callback>& cb) {
    Attempt attempt = 0;
    {
      std::lock_guard lock(e.state_->mutex);
      e.state_->reset(/*keepCallback=*/false);
      e.state_->callback = cb;
      e.state_->currentUserId = userId;
      attempt = ++e.state_->attempt;
    }
    if (VelqoFrameworkInternalUtils::userIdNamesAnotherRecord(userId)) {
      debugLog(std::string(kTag) + "Refusing user id " + userId + ": it names another stored record.");
      fail(callbackFor(e, attempt), AuthV5ErrorCode::invalidInput, sentence::invalidInput);
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
        fail(callbackFor(e, attempt), AuthV5ErrorCode::secureStorageError, sentence::secureStorage);
      } else {
        fail(callbackFor(e, attempt), AuthV5ErrorCode::cryptoError, sentence::crypto);
      }
      return;
    }
    {
      std::lock_guard lock(e.state_->mutex);
      if (attempt != e.state_->attempt) return;
      e.state_->currentDeviceInfo = deviceInfo;
      e.state_->currentEnvironment = V5EnvironmentInfo::current();
    }

    std::optional<V5KeyMaterial> material;
    try {
      material = e.credentialStore_.load(userId);
    } catch (const V5CredentialStoreError& error) {
      if (error.errorCase() == V5CredentialStoreError::Case::legacyPayloadDetected) {
        debugLog(std::string(kTag) + "Legacy credential payload detected for user " + userId +
                 ". Forcing re-registration.");
        e.credentialStore_.remove(userId);
        e.credentialStore_.secureWrapper().deleteKey(userId);
        e.pendingStore_.remove(userId);
        setLoginFlow(e, attempt, /*isLoginFlow=*/false);
        startRegistrationAuthInit(e, attempt, deviceInfo);
        return;
      }
      fail(callbackFor(e, attempt), AuthV5ErrorCode::secureStorageError, sentence::secureStorage);
      return;
    }
    if (material) {
      e.pendingStore_.remove(userId);
      setLoginFlow(e, attempt, /*isLoginFlow=*/true);
      startLoginAuthInit(e, attempt, std::move(*material), deviceInfo, /*afterRegistration=*/false);
      return;
    }

    const auto pending = e.pendingStore_.load(userId);
    if (pending && pending->fingerprintHash == deviceInfo.fingerprint_hash) {
      debugLog(std::string(kTag) + "Resuming pending registration for user " + userId);
      Callback callback;
      {
        std::lock_guard lock(e.state_->mutex);
        if (attempt != e.state_->attempt) return;
        e.state_->isLoginFlow = false;
        e.state_->currentEnvironment = pending->environment;
        e.state_->registrationContext = RegistrationContext{pending->deviceToken, nullptr, /*resumed=*/true};
        callback = e.state_->callback.lock();
      }
      if (callback) account::detail::callHost(kTag, [&] { callback->onOtpRequired(); });
      return;
    }
    if (pending) {
      debugLog(std::string(kTag) + "Pending registration fingerprint mismatch for user " + userId +
               "; clearing pending state.");
      e.pendingStore_.remove(userId);
    }
    setLoginFlow(e, attempt, /*isLoginFlow=*/false);
    startRegistrationAuthInit(e, attempt, deviceInfo);
  }
};

// ---- VelqoAuthV5 ----

std::string VelqoAuthV5::defaultServiceName() {
  return KeychainManager::serviceName() + ".velqo.v5";
}

VelqoAuthV5::VelqoAuthV5(std::shared_ptr<const ApiService> apiService,
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
  return std::shared_ptr<VelqoAuthV5>(
      new VelqoAuthV5(std::move(apiService), std::move(oauthConfig), std::move(endPoints)));
}

void VelqoAuthV5::authenticate(const std::string& userid, const std::shared_ptr<AuthV5Callback>& callback) {
  Steps::authenticate(*this, userid, callback);
}

void VelqoAuthV5::submitOtp(const std::string& otp) {
  Steps::submitOtp(*this, otp);
}

}  // namespace velqo
