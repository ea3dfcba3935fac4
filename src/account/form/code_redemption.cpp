#include "account/form/code_redemption.hpp"

#include <exception>
#include <utility>

#include "account/form/post_form.hpp"
#include "velqo/platform/bytes.hpp"

namespace velqo {
namespace {

using Kind = CodeRedemptionResult::Kind;

CodeRedemptionResult checked(FormOutcome outcome, const OAuthTokenVerifier& verifier) {
  CodeRedemptionResult result;
  if (!outcome) {
    result.kind = Kind::exchangeError;
    result.description = outcome.error().localizedDescription();
    return result;
  }
  auto& [response, status] = outcome.value();
  result.status = status;
  if (status != 200 || !response.id_token) {
    result.kind = Kind::exchangeRejected;
    return result;
  }
  try {
    verifier.verify(*response.id_token);
  } catch (const OAuthTokenVerifierError& e) {
    result.kind = Kind::verificationFailed;
    result.verifierCase = e.errorCase();
    result.description = e.localizedDescription();
    wipe(*response.id_token);
    return result;
  } catch (const std::exception& e) {
    result.kind = Kind::verificationFailed;
    result.description = e.what();
    wipe(*response.id_token);
    return result;
  }
  result.kind = Kind::redeemed;
  result.idToken = std::move(*response.id_token);
  return result;
}

}  // namespace

std::string_view verifierCaseSentence(OAuthTokenVerifierError::Case errorCase) noexcept {
  using Case = OAuthTokenVerifierError::Case;
  switch (errorCase) {
    case Case::malformedToken:
      return "Received malformed ID token from OAuth service.";
    case Case::unsupportedAlgorithm:
      return "Unsupported signing algorithm in ID token.";
    case Case::invalidSignature:
      return "ID token signature could not be verified.";
    case Case::invalidAudience:
      return "ID token audience mismatch.";
    case Case::decodingFailed:
      return "Failed to decode ID token.";
  }
  return "Failed to decode ID token.";
}

std::string tokenVerificationSentence(const CodeRedemptionResult& result) {
  if (result.verifierCase) return std::string(verifierCaseSentence(*result.verifierCase));
  return "Token verification failed. " + result.description;
}

void redeemAuthorizationCode(const VelqoOAuthConfig& config, const OAuthTokenVerifier& verifier,
                             const std::string& code, std::function<void(CodeRedemptionResult)> completion,
                             std::shared_ptr<platform::HttpSession> session) {
  FormParameters parameters{
      {"grant_type", "authorization_code"}, {"code", code}, {"client_id", config.clientId}};
  postForm(
      config.tokenEndpoint, parameters,
      [verifier, completion = std::move(completion)](FormOutcome outcome) {
        if (completion) completion(checked(std::move(outcome), verifier));
      },
      std::move(session));
  wipe(parameters[1].second);
}

}  // namespace velqo
