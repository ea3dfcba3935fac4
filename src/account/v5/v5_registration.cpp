// The V5 registration of a device: auth-init for a session token (kept as a pending
// registration), the typed code with the keyset derived from a fresh wrapped secret, and the
// device's confirmation; the stored material then logs the device in.

#include <new>
#include <utility>

#include "account/host_call.hpp"
#include "account/v5/v5_engine_internal.hpp"
#include "core/storage/keychain_manager.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "velqo/platform/clock.hpp"

namespace velqo {

using namespace account::detail::v5;

namespace {

constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kSigningKeySize = 32;

Bytes concat(std::initializer_list<const Bytes*> parts) {
  Bytes out;
  for (const Bytes* p : parts) out.insert(out.end(), p->begin(), p->end());
  return out;
}

V5StoredPayload payloadOf(const RegistrationArtifacts& a, const std::string& deviceToken) {
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

V5KeyMaterial materialOf(const RegistrationArtifacts& a, const std::string& deviceToken) {
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

}  // namespace

void VelqoAuthV5::Steps::startRegistrationAuthInit(VelqoAuthV5& e, Attempt attempt,
                                                   const MobileDeviceInfoV1& deviceInfo) {
  std::optional<std::string> userId;
  Callback callback;
  {
    const auto lock = e.state_->attempts.lock();
    if (!e.state_->attempts.isCurrent(lock, attempt)) return;
    userId = e.state_->currentUserId;
    callback = e.state_->attempts.currentCallback(lock);
  }
  if (!userId) {
    fail(callback, AuthV5ErrorCode::internalStateError, sentence::internalState);
    return;
  }
  const AuthInitV5Request body{*userId, deviceInfo, std::nullopt, std::nullopt};
  account::detail::send<AuthInitV5Response>(
      e, *e.apiService_, attempt, url(e, "/v5/auth-init"), body,
      [userId = *userId, deviceInfo](VelqoAuthV5& self, Attempt current,
                                     ApiService::Outcome<AuthInitV5Response> outcome) {
        handleRegistrationAuthInitResult(self, current, userId, deviceInfo, std::move(outcome));
      });
}

void VelqoAuthV5::Steps::handleRegistrationAuthInitResult(VelqoAuthV5& e, Attempt attempt,
                                                          const std::string& userId,
                                                          const MobileDeviceInfoV1& deviceInfo,
                                                          ApiService::Outcome<AuthInitV5Response> outcome) {
  Callback callback = e.state_->attempts.callbackFor(attempt);
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
    const auto lock = e.state_->attempts.lock();
    if (!e.state_->attempts.isCurrent(lock, attempt)) return;
    e.state_->registrationContext = RegistrationContext{*deviceToken, nullptr};
    environment = e.state_->currentEnvironment;
  }
  if (environment) {
    e.pendingStore_.save(V5PendingRegistration{userId, *deviceToken, deviceInfo.fingerprint_hash,
                                               *environment, platform::nowSecondsSince1970()});
  }
  account::detail::callHost(kTag, [&] { callback->onOtpRequired(); });
}

ArtifactsRef VelqoAuthV5::Steps::makeArtifacts(const VelqoAuthV5& e, const std::string& userId,
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

void VelqoAuthV5::Steps::submitOtp(VelqoAuthV5& e, const std::string& otp) {
  Callback callback;
  Attempt attempt = 0;
  std::optional<std::string> userId;
  std::optional<MobileDeviceInfoV1> deviceInfo;
  std::optional<V5EnvironmentInfo> environment;
  std::optional<RegistrationContext> context;
  {
    const auto lock = e.state_->attempts.lock();
    callback = e.state_->attempts.currentCallback(lock);
    if (!callback) return;
    attempt = e.state_->attempts.current(lock);
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
    const auto lock = e.state_->attempts.lock();
    if (!e.state_->attempts.isCurrent(lock, attempt)) return;
    if (e.state_->registrationContext) e.state_->registrationContext->artifacts = artifacts;
  }
  const VerifyOtpV5Request body{context->deviceToken, code, *deviceInfo, artifacts->keysetBase64,
                                artifacts->hindex};
  wipe(code);
  const std::optional<std::string> resumedToken =
      context->resumed ? std::optional<std::string>(context->deviceToken) : std::nullopt;
  account::detail::send<VerifyOtpV5Response>(
      e, *e.apiService_, attempt, url(e, "/v5/verify-otp"), body,
      [weakCallback = std::weak_ptr<AuthV5Callback>(callback), userId = *userId,
       deviceToken = context->deviceToken, resumedToken,
       artifacts](VelqoAuthV5& self, Attempt current, ApiService::Outcome<VerifyOtpV5Response> outcome) {
        handleVerifyOtpResult(self, current, weakCallback.lock(), userId, deviceToken, resumedToken,
                              artifacts, std::move(outcome));
      });
}

// A resumed registration that the service refuses is not offered again: its device token
// may already be spent (a verify-device answer lost, or a process that ended before saving
// the record), and every later attempt would re-send it and be refused until it expired.
// The next attempt starts a new registration. The pending item is removed only while it
// still holds that token.
void VelqoAuthV5::Steps::dropRefusedRegistration(VelqoAuthV5& e, const std::string& userId,
                                                 const std::optional<std::string>& resumedToken) {
  if (!resumedToken) return;
  const auto pending = e.pendingStore_.load(userId);
  if (pending && pending->deviceToken == *resumedToken) e.pendingStore_.remove(userId);
}

void VelqoAuthV5::Steps::handleVerifyOtpResult(VelqoAuthV5& e, Attempt attempt, const Callback& submitter,
                                               const std::string& userId, const std::string& contextToken,
                                               const std::optional<std::string>& resumedToken,
                                               const ArtifactsRef& artifacts,
                                               ApiService::Outcome<VerifyOtpV5Response> outcome) {
  {
    const auto lock = e.state_->attempts.lock();
    if (!e.state_->attempts.isCurrent(lock, attempt)) return;
  }
  if (!outcome || !isSuccessStatus(outcome.value().second)) {
    dropRefusedRegistration(e, userId, resumedToken);
    fail(submitter, AuthV5ErrorCode::otpVerificationFailed, sentence::otp);
    return;
  }
  verifyDevice(e, attempt, outcome.value().first.device_token.value_or(contextToken), resumedToken,
               artifacts);
}

void VelqoAuthV5::Steps::verifyDevice(VelqoAuthV5& e, Attempt attempt, const std::string& deviceToken,
                                      const std::optional<std::string>& resumedToken,
                                      const ArtifactsRef& artifacts) {
  Callback callback;
  std::optional<std::string> userId;
  std::optional<MobileDeviceInfoV1> deviceInfo;
  {
    const auto lock = e.state_->attempts.lock();
    if (!e.state_->attempts.isCurrent(lock, attempt)) return;
    callback = e.state_->attempts.currentCallback(lock);
    userId = e.state_->currentUserId;
    deviceInfo = e.state_->currentDeviceInfo;
  }
  if (!callback) return;
  if (!userId || !deviceInfo) {
    fail(callback, AuthV5ErrorCode::missingRegistrationContext, sentence::missingContext);
    return;
  }
  const VerifyDeviceV5Request body{*userId, *deviceInfo, deviceToken, artifacts->hindex};
  account::detail::send<VerifyDeviceV5Response>(
      e, *e.apiService_, attempt, url(e, "/v5/verify-device"), body,
      [artifacts, deviceToken, resumedToken, userId = *userId, deviceInfo = *deviceInfo](
          VelqoAuthV5& self, Attempt current, ApiService::Outcome<VerifyDeviceV5Response> outcome) {
        handleVerifyDeviceResult(self, current, artifacts, deviceToken, resumedToken, userId, deviceInfo,
                                 std::move(outcome));
      });
}

void VelqoAuthV5::Steps::handleVerifyDeviceResult(
    VelqoAuthV5& e, Attempt attempt, const ArtifactsRef& artifacts, const std::string& deviceToken,
    const std::optional<std::string>& resumedToken, const std::string& userId,
    const MobileDeviceInfoV1& deviceInfo, ApiService::Outcome<VerifyDeviceV5Response> outcome) {
  Callback callback = e.state_->attempts.callbackFor(attempt);
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
  startLoginAuthInit(e, attempt, materialOf(*artifacts, deviceToken), deviceInfo);
}

}  // namespace velqo
