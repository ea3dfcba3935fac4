#pragma once

// Redeeming an authorization code at the token endpoint, the steps both engines share
// (internal).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velqo/core/oauth_config.hpp"
#include "velqo/core/oauth_token_verifier.hpp"
#include "velqo/platform/http.hpp"

namespace velqo {

/// How a redemption ended. The engines map each kind to their own code and sentence.
struct CodeRedemptionResult {
  enum class Kind {
    exchangeError,       ///< the form POST failed: `description` is the error's description
    exchangeRejected,    ///< a status other than 200, or no "id_token": see `status`
    verificationFailed,  ///< the ID token was refused: `verifierCase` or `description`
    redeemed,            ///< `idToken` passed the verifier
  };
  Kind kind = Kind::exchangeError;
  long status = 0;
  std::string description;
  /// The verifier's case when it refused the token with an OAuthTokenVerifierError.
  std::optional<OAuthTokenVerifierError::Case> verifierCase;
  std::string idToken;
};

/// The sentence for a refused ID token: the verifier case's own sentence, else
/// "Token verification failed. " + the error's description.
std::string tokenVerificationSentence(const CodeRedemptionResult& result);
/// The sentence of one verifier case ("ID token audience mismatch.", ...).
std::string_view verifierCaseSentence(OAuthTokenVerifierError::Case errorCase) noexcept;

/// Posts "grant_type" = "authorization_code", "code" and "client_id" (in this order) to the
/// configuration's token endpoint, then checks the answer's ID token with `verifier`.
/// `completion` runs once on the main queue. The engine checks its configuration first and
/// holds itself weakly in `completion`.
void redeemAuthorizationCode(const VelqoOAuthConfig& config, const OAuthTokenVerifier& verifier,
                             const std::string& code, std::function<void(CodeRedemptionResult)> completion,
                             std::shared_ptr<platform::HttpSession> session = nullptr);

}  // namespace velqo
