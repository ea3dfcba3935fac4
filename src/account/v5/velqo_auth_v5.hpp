#pragma once

// The V5 sign-in engine of the account interface (not installed; the SDK facade owns one).

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "account/v5/v5_credential_store.hpp"
#include "account/v5/v5_pending_registration_store.hpp"
#include "core/transport/api_service.hpp"
#include "core/transport/end_points.hpp"
#include "velqo/account/auth_v5_callback.hpp"
#include "velqo/core/oauth_config.hpp"
#include "velqo/core/oauth_token_verifier.hpp"

namespace velqo {

/// How an authorization code ends an attempt: redeemed by the engine at the configured token
/// endpoint (`SdkManaged`), or handed to the host application (`Delegated`).
struct OAuthHandlingStrategy {
  struct SdkManaged {
    VelqoOAuthConfig config;
  };
  struct Delegated {};
  std::variant<SdkManaged, Delegated> value = Delegated{};
};

/// Runs one V5 sign-in attempt at a time: login from the device's stored key material,
/// registration with a one-time code (resumed from a pending registration within 900 seconds),
/// and one clear-and-register-again per attempt when the service no longer knows the device or
/// the stored material does not work.
///
/// Threads: `authenticate` and `submitOtp` run on the caller's thread until their request is
/// handed to the transport; early failures and the onOtpRequired() of a resumed registration
/// are reported there. Every answer is handled on the main queue, so every later callback comes
/// on the main queue. Calls may come from any thread: the attempt's state is guarded by the
/// engine's lock, which is never held while calling out. A new `authenticate` supersedes the
/// attempt under way: answers that arrive for the superseded attempt are dropped.
///
/// Ownership: create through `create`; requests in flight hold the engine weakly and do nothing
/// once it is gone. The callback is held weakly: the engine stays silent once it is released.
class VelqoAuthV5 : public std::enable_shared_from_this<VelqoAuthV5> {
  // Only `create` can make one: a private constructor keeps it from being an aggregate that
  // `{}` would build anywhere.
  class Passkey {
    Passkey() = default;
    friend class VelqoAuthV5;
  };

 public:
  /// The domain signed and hashed when the account base URL has no host.
  static constexpr const char* defaultDomain = "auth.velqo.com";

  /// With OAuth settings, codes are redeemed by the engine and ID tokens verified against the
  /// settings' key and client id; without, codes go to the host. The stores use the keychain
  /// service of the bundle (else "com.velqo.sdk") + ".velqo.v5" (+ ".pending").
  static std::shared_ptr<VelqoAuthV5> create(std::shared_ptr<const ApiService> apiService,
                                             std::optional<VelqoOAuthConfig> oauthConfig,
                                             EndPoints endPoints);
  /// Use `create`.
  VelqoAuthV5(Passkey, std::shared_ptr<const ApiService> apiService,
              std::optional<VelqoOAuthConfig> oauthConfig, EndPoints endPoints);

  /// Starts an attempt for `userid` (kept exactly as given) and returns at once.
  void authenticate(const std::string& userid, const std::shared_ptr<AuthV5Callback>& callback);
  /// Continues the registration of the current attempt with the typed code; returns at once.
  void submitOtp(const std::string& otp);
  /// Forgets the V5 records this device keeps for `userId`: the stored credential, its
  /// hardware key and a pending registration, so that the user's next attempt registers
  /// afresh. Runs on the caller's thread and leaves the attempt under way alone; a record that
  /// cannot be removed stays behind and reaches a diagnostic line.
  void forgetUser(const std::string& userId) const;

  /// The keychain service of the V5 records ("<bundle id>.velqo.v5").
  [[nodiscard]] static std::string defaultServiceName();
  [[nodiscard]] const V5CredentialStore& credentialStore() const noexcept { return credentialStore_; }
  [[nodiscard]] const V5PendingRegistrationStore& pendingStore() const noexcept { return pendingStore_; }
  [[nodiscard]] const OAuthHandlingStrategy& oauthHandling() const noexcept { return oauthHandling_; }
  /// The domain of every attempt: the host of the account base URL, else `defaultDomain`.
  [[nodiscard]] const std::string& domain() const noexcept { return domain_; }

  VelqoAuthV5(const VelqoAuthV5&) = delete;
  VelqoAuthV5& operator=(const VelqoAuthV5&) = delete;
  ~VelqoAuthV5();

 private:
  struct State;
  struct Steps;

  std::shared_ptr<const ApiService> apiService_;
  OAuthHandlingStrategy oauthHandling_;
  std::optional<OAuthTokenVerifier> oauthVerifier_;
  V5CredentialStore credentialStore_;
  V5PendingRegistrationStore pendingStore_;
  EndPoints endPoints_;
  std::string domain_;
  std::unique_ptr<State> state_;
};

}  // namespace velqo
