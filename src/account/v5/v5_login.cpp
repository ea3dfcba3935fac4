// The V5 login of a registered device: auth-init with the hash index and sk2 derived from the
// unwrapped secret, the signed challenge at verify-cipher, and the ending the service chose (a
// token, an authorization code, or a further verification).

#include <new>
#include <utility>
#include <variant>

#include "account/host_call.hpp"
#include "account/records/last_user_record.hpp"
#include "account/utils/velqo_framework_internal_utils.hpp"
#include "account/v5/v5_engine_internal.hpp"
#include "core/storage/keychain_manager.hpp"
#include "platform/encoding.hpp"
#include "platform/url.hpp"
#include "velqo/core/debug_sink.hpp"

namespace velqo {

using namespace account::detail::v5;

void VelqoAuthV5::Steps::startLoginAuthInit(VelqoAuthV5& e, Attempt attempt, V5KeyMaterial material,
                                            const MobileDeviceInfoV1& deviceInfo) {
  Callback callback;
  std::optional<std::string> userId;
  std::optional<V5EnvironmentInfo> environment;
  {
    const auto lock = e.state_->attempts.lock();
    if (!e.state_->attempts.isCurrent(lock, attempt)) return;
    callback = e.state_->attempts.currentCallback(lock);
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
  account::detail::send<AuthInitV5Response>(
      e, *e.apiService_, attempt, url(e, "/v5/auth-init"), body,
      [login](VelqoAuthV5& self, Attempt current, ApiService::Outcome<AuthInitV5Response> outcome) {
        handleLoginAuthInitResult(self, current, *login, std::move(outcome));
      });
  wipe(*body.sk2);
}

void VelqoAuthV5::Steps::handleLoginAuthInitResult(VelqoAuthV5& e, Attempt attempt, const LoginContext& login,
                                                   ApiService::Outcome<AuthInitV5Response> outcome) {
  Callback callback = e.state_->attempts.callbackFor(attempt);
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
    const auto lock = e.state_->attempts.lock();
    if (!e.state_->attempts.isLive(lock, attempt) || !e.state_->currentUserId) return;
  }
  const VerifyCipherV5Request body{user,
                                   signedChallenge.signature,
                                   login.hindex,
                                   login.deviceInfo,
                                   login.material.deviceToken,
                                   signedChallenge.message};
  account::detail::send<VerifyCipherV5Response>(e, *e.apiService_, attempt, url(e, "/v5/verify-cipher"), body,
                                                &Steps::handleVerifyCipherResult);
}

// Opens the service's combined salt, recovers the signing key and signs the challenge
// followed by the domain. Throws V5CryptoError.
V5Crypto::SignedChallenge VelqoAuthV5::Steps::answerChallenge(const VelqoAuthV5& e, const LoginContext& login,
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

void VelqoAuthV5::Steps::handleVerifyCipherResult(VelqoAuthV5& e, Attempt attempt,
                                                  ApiService::Outcome<VerifyCipherV5Response> outcome) {
  Callback callback = e.state_->attempts.callbackFor(attempt);
  if (!callback) return;
  if (!outcome) {
    fail(callback, AuthV5ErrorCode::cryptoError, sentence::crypto);
    return;
  }
  const VerifyCipherV5Response& answer = outcome.value().first;
  if (answer.session_id) {
    // Asks for more verification, whatever the status (a service may refuse until it is done).
    const std::optional<std::string> detail = answer.detail ? answer.detail : answer.message;
    account::detail::callHost(
        kTag, [&] { callback->onAdditionalVerificationRequired(*answer.session_id, detail); });
  } else if (!isSuccessStatus(outcome.value().second)) {
    // A refused answer is never a sign-in, whatever token or code its body holds.
    fail(callback, AuthV5ErrorCode::unknownError, sentence::unknown);
  } else if (answer.token) {
    storeTokens(e, attempt, *answer.token);
  } else if (answer.code) {
    if (std::holds_alternative<OAuthHandlingStrategy::SdkManaged>(e.oauthHandling_.value)) {
      redeemAuthorizationCode(e, attempt, *answer.code);
    } else {
      account::detail::callHost(kTag,
                                [&] { callback->onAuthorizationCode(*answer.code, answer.expires_in); });
    }
  } else {
    fail(callback, AuthV5ErrorCode::unknownError, sentence::unknown);
  }
}

void VelqoAuthV5::Steps::storeTokens(VelqoAuthV5& e, Attempt attempt, const std::string& token) {
  Callback callback;
  std::optional<std::string> userId;
  Flow flow = Flow::registration;
  {
    const auto lock = e.state_->attempts.lock();
    if (!e.state_->attempts.isCurrent(lock, attempt)) return;
    callback = e.state_->attempts.currentCallback(lock);
    userId = e.state_->currentUserId;
    flow = e.state_->flow;
  }
  if (!callback || !userId) return;
  if (!KeychainManager::saveJWTTokenPair(token, token, *userId)) {
    fail(callback, AuthV5ErrorCode::tokenStorageFailed, sentence::tokenStorage);
    return;
  }
  (void)LastUserRecord::save(*userId);
  account::detail::callHost(kTag, [&] { callback->onAuthSuccess(token, token, flow == Flow::login); });
}

// ---- authorization codes ----

void VelqoAuthV5::Steps::redeemAuthorizationCode(VelqoAuthV5& e, Attempt attempt, const std::string& code) {
  const auto* managed = std::get_if<OAuthHandlingStrategy::SdkManaged>(&e.oauthHandling_.value);
  if (!managed || !e.oauthVerifier_) {
    fail(e.state_->attempts.callbackFor(attempt), AuthV5ErrorCode::oauthConfigurationMissing,
         sentence::oauthMissing);
    return;
  }
  const auto endpoint = platform::Url::parse(managed->config.tokenEndpoint);
  debugLog(std::string(kTag) + "Redeeming authorization code at OAuth endpoint: " +
           (endpoint ? endpoint->text() : managed->config.tokenEndpoint));
  velqo::redeemAuthorizationCode(managed->config, *e.oauthVerifier_, code,
                                 account::detail::forAttempt(e, attempt, &Steps::handleCodeRedemptionResult));
}

void VelqoAuthV5::Steps::handleCodeRedemptionResult(VelqoAuthV5& e, Attempt attempt,
                                                    const CodeRedemptionResult& result) {
  Callback callback = e.state_->attempts.callbackFor(attempt);
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
      storeTokens(e, attempt, result.idToken);
      return;
  }
}

}  // namespace velqo
