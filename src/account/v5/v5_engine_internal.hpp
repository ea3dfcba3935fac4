#pragma once

// What the V5 engine's files share (internal to src/account/v5): the attempt's state, the
// contexts its steps carry from one answer to the next, and the steps' declarations. The steps
// are split by way: velqo_auth_v5.cpp starts an attempt and clears stored material for a
// second registration, v5_registration.cpp registers the device, v5_login.cpp logs it in.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "account/attempts.hpp"
#include "account/form/code_redemption.hpp"
#include "account/v5/v5_crypto.hpp"
#include "account/v5/velqo_auth_v5.hpp"
#include "api/models/v5_records.hpp"
#include "core/transport/http_status.hpp"

namespace velqo {
namespace account::detail::v5 {

inline constexpr const char* kTag = "[VelqoAuthV5] ";
inline constexpr std::uint8_t kPayloadVersion = 1;

// The sentences of every failure, as the host application shows them.
namespace sentence {
inline constexpr const char* crypto = "A cryptographic error occurred. Please retry the authentication.";
inline constexpr const char* secureStorage = "Failed to securely store credentials on this device.";
inline constexpr const char* internalState =
    "An internal application error occurred. Please restart the authentication flow.";
inline constexpr const char* network =
    "A network error occurred. Please check your connection and try again.";
inline constexpr const char* authInit = "Failed to start authentication. Please try again.";
inline constexpr const char* missingContext =
    "Registration context missing or expired. Restart the authentication flow.";
inline constexpr const char* invalidInput =
    "Invalid input provided. Please verify the information and retry.";
inline constexpr const char* otp =
    "The verification code is incorrect or expired. Please request a new code.";
inline constexpr const char* deviceVerification = "Failed to register this device. Please try again.";
inline constexpr const char* loginIntegrity =
    "Device integrity validation failed. Please re-register this device.";
inline constexpr const char* unknown = "An unexpected error occurred. Please try again.";
inline constexpr const char* tokenStorage =
    "Login succeeded but saving session tokens failed. Please sign in again.";
inline constexpr const char* oauthMissing = "Unable to complete sign-in because OAuth settings are missing.";
inline constexpr const char* oauthExchange = "We couldn't finish signing you in. Please retry the login.";
inline constexpr const char* oauthValidation =
    "We couldn't validate the server response. Please try signing in again.";
}  // namespace sentence

using Attempt = std::uint64_t;

// The way an attempt takes: a login from the device's stored key material, or a registration
// (which ends with a login with the material it just stored). The ending tells the host which.
enum class Flow { registration, login };

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

  ~LoginContext() { wipe(sharedSecret); }
};

Bytes infoStringOf(const V5EnvironmentInfo& env, std::string_view algorithm);

// The device fingerprint digest and the hash index: the same digests as the device-trust suite,
// with the V5 user agent in place of the bundle identifier.
std::string hashIndex(const Bytes& salt1, const Bytes& salt2, const Bytes& sk2, const Bytes& combinedPrs,
                      const Bytes& aPeer, const Bytes& sharedSecret, const Bytes& hds,
                      const V5EnvironmentInfo& env, const std::string& userId, const std::string& domain);

// The service no longer knows the device's hash index: the stored material is stale.
bool isStaleDeviceError(const platform::PlatformError& error);

}  // namespace account::detail::v5

// The attempt's fields, guarded by the lock of `attempts`.
struct VelqoAuthV5::State {
  using Flow = account::detail::v5::Flow;

  account::detail::Attempts<AuthV5Callback> attempts;
  std::optional<std::string> currentUserId;
  std::optional<MobileDeviceInfoV1> currentDeviceInfo;
  std::optional<V5EnvironmentInfo> currentEnvironment;
  std::optional<account::detail::v5::RegistrationContext> registrationContext;
  Flow flow = Flow::registration;
  bool hasRetriedAuthInit = false;

  // Forgets what the attempt gathered; the callback goes with its attempt.
  void clearFields() {
    currentUserId.reset();
    currentDeviceInfo.reset();
    currentEnvironment.reset();
    registrationContext.reset();
    flow = Flow::registration;
    hasRetriedAuthInit = false;
  }
};

// The steps of an attempt. Each one decides under the lock and acts after it; every step that
// runs after an answer first checks that its attempt is still the current one.
struct VelqoAuthV5::Steps {
  using Attempt = account::detail::v5::Attempt;
  using Flow = account::detail::v5::Flow;
  using Callback = std::shared_ptr<AuthV5Callback>;
  using ArtifactsRef = account::detail::v5::ArtifactsRef;
  using LoginContext = account::detail::v5::LoginContext;
  enum class Retry { started, alreadyUsed };

  // ---- the attempt (velqo_auth_v5.cpp) ----

  static void authenticate(VelqoAuthV5& e, const std::string& userId,
                           const std::shared_ptr<AuthV5Callback>& cb);
  static void setFlow(VelqoAuthV5& e, Attempt attempt, Flow flow);
  static void fail(const Callback& callback, AuthV5ErrorCode code, const std::string& message);
  static std::string url(const VelqoAuthV5& e, const char* path) { return e.endPoints_.authBase + path; }
  // The attempt's one clear-and-register-again. `alreadyUsed` leaves reporting to the caller; a
  // superseded attempt does nothing and counts as started.
  static Retry retryRegistration(VelqoAuthV5& e, Attempt attempt, const std::string& userId,
                                 const std::string& logLine);

  // ---- registration (v5_registration.cpp) ----

  static void startRegistrationAuthInit(VelqoAuthV5& e, Attempt attempt,
                                        const MobileDeviceInfoV1& deviceInfo);
  static void handleRegistrationAuthInitResult(VelqoAuthV5& e, Attempt attempt, const std::string& userId,
                                               const MobileDeviceInfoV1& deviceInfo,
                                               ApiService::Outcome<AuthInitV5Response> outcome);
  static ArtifactsRef makeArtifacts(const VelqoAuthV5& e, const std::string& userId,
                                    const V5EnvironmentInfo& env);
  static void submitOtp(VelqoAuthV5& e, const std::string& otp);
  static void dropRefusedRegistration(VelqoAuthV5& e, const std::string& userId,
                                      const std::optional<std::string>& resumedToken);
  static void handleVerifyOtpResult(VelqoAuthV5& e, Attempt attempt, const Callback& submitter,
                                    const std::string& userId, const std::string& contextToken,
                                    const std::optional<std::string>& resumedToken,
                                    const ArtifactsRef& artifacts,
                                    ApiService::Outcome<VerifyOtpV5Response> outcome);
  static void verifyDevice(VelqoAuthV5& e, Attempt attempt, const std::string& deviceToken,
                           const std::optional<std::string>& resumedToken, const ArtifactsRef& artifacts);
  static void handleVerifyDeviceResult(VelqoAuthV5& e, Attempt attempt, const ArtifactsRef& artifacts,
                                       const std::string& deviceToken,
                                       const std::optional<std::string>& resumedToken,
                                       const std::string& userId, const MobileDeviceInfoV1& deviceInfo,
                                       ApiService::Outcome<VerifyDeviceV5Response> outcome);

  // ---- login (v5_login.cpp) ----

  static void startLoginAuthInit(VelqoAuthV5& e, Attempt attempt, V5KeyMaterial material,
                                 const MobileDeviceInfoV1& deviceInfo);
  static void handleLoginAuthInitResult(VelqoAuthV5& e, Attempt attempt, const LoginContext& login,
                                        ApiService::Outcome<AuthInitV5Response> outcome);
  static V5Crypto::SignedChallenge answerChallenge(const VelqoAuthV5& e, const LoginContext& login,
                                                   const std::string& challenge, const Bytes& r2);
  static void handleVerifyCipherResult(VelqoAuthV5& e, Attempt attempt,
                                       ApiService::Outcome<VerifyCipherV5Response> outcome);
  static void storeTokens(VelqoAuthV5& e, Attempt attempt, const std::string& token);
  static void redeemAuthorizationCode(VelqoAuthV5& e, Attempt attempt, const std::string& code);
  static void handleCodeRedemptionResult(VelqoAuthV5& e, Attempt attempt, const CodeRedemptionResult& result);
};

}  // namespace velqo
