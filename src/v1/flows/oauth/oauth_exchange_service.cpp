#include "velqo/v1/flows/oauth_exchange_service.hpp"

#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "api/models/oauth_records.hpp"
#include "core/transport/http_status.hpp"
#include "core/transport/json_codec.hpp"
#include "platform/encoding.hpp"
#include "v1/flows/oauth/form_encoding.hpp"
#include "v1/protocol/diagnostics.hpp"
#include "velqo/platform/bytes.hpp"

namespace velqo {
namespace {

using ExchangeResult = VelqoV1OAuthExchangeService::ExchangeResult;
using Completion = VelqoV1OAuthExchangeService::Completion;

void complete(const Completion& completion, const ExchangeResult& result) noexcept {
  if (!completion) return;
  try {
    completion(result);
  } catch (...) {
    // A host completion's exception must not unwind into the caller or the session.
  }
}

void fail(const Completion& completion, VelqoV1OAuthExchangeError error) {
  complete(completion, ExchangeResult::failure(std::move(error)));
}

}  // namespace

VelqoV1OAuthExchangeError::VelqoV1OAuthExchangeError(Case c, std::string text, const std::string& description)
    : platform::PlatformError("VelqoV1OAuthExchangeError", static_cast<long>(c), description),
      case_(c),
      text_(std::move(text)) {}

VelqoV1OAuthExchangeError VelqoV1OAuthExchangeError::invalidConfiguration(std::string text) {
  std::string description = text;
  return VelqoV1OAuthExchangeError(Case::invalidConfiguration, std::move(text), description);
}
VelqoV1OAuthExchangeError VelqoV1OAuthExchangeError::transportError(std::string text) {
  std::string description = text;
  return VelqoV1OAuthExchangeError(Case::transportError, std::move(text), description);
}
VelqoV1OAuthExchangeError VelqoV1OAuthExchangeError::invalidResponse(std::string text) {
  std::string description = text;
  return VelqoV1OAuthExchangeError(Case::invalidResponse, std::move(text), description);
}
VelqoV1OAuthExchangeError VelqoV1OAuthExchangeError::tokenVerificationFailed(std::string text) {
  std::string description = text;
  return VelqoV1OAuthExchangeError(Case::tokenVerificationFailed, std::move(text), description);
}
VelqoV1OAuthExchangeError VelqoV1OAuthExchangeError::requestEncodingFailed() {
  return VelqoV1OAuthExchangeError(Case::requestEncodingFailed, {},
                                   "The token request could not be encoded.");
}

struct VelqoV1OAuthExchangeService::Impl {
  using Service = VelqoV1OAuthExchangeService;

  // The description of whatever the verifier threw.
  static std::string verificationFailure(const Service& s, const std::string& idToken) {
    try {
      s.verifier_->verify(idToken);
      return {};
    } catch (const platform::PlatformError& e) {
      return e.localizedDescription().empty() ? std::string("ID token verification failed")
                                              : e.localizedDescription();
    } catch (const std::exception& e) {
      return e.what()[0] == '\0' ? std::string("ID token verification failed") : std::string(e.what());
    } catch (...) {
      return "ID token verification failed";
    }
  }

  static ExchangeResult successfulAnswer(const Service& s, const std::string& body) {
    auto decoded = json::decode<OAuthTokenResponse>(body);
    if (!decoded || !decoded.value().id_token || decoded.value().id_token->empty()) {
      return ExchangeResult::failure(VelqoV1OAuthExchangeError::invalidResponse("Missing id_token"));
    }
    OAuthTokenResponse& record = decoded.value();
    if (s.verifier_) {
      std::string failure = verificationFailure(s, *record.id_token);
      if (!failure.empty()) {
        wipe(*record.id_token);
        return ExchangeResult::failure(
            VelqoV1OAuthExchangeError::tokenVerificationFailed(std::move(failure)));
      }
    }
    return ExchangeResult::success(
        VelqoV1OAuthToken{std::move(*record.id_token), std::move(record.token_type), record.expires_in});
  }

  static void onAnswer(const Service& s, const Completion& completion, std::optional<std::string> body,
                       const std::optional<platform::HttpResponse>& response,
                       const std::optional<platform::PlatformError>& error) {
    if (error) {
      fail(completion, VelqoV1OAuthExchangeError::transportError(error->localizedDescription()));
      return;
    }
    const long status = response ? response->statusCode : 0;
    if (response && isSuccessStatus(status)) {
      if (!body || body->empty()) {
        fail(completion, VelqoV1OAuthExchangeError::invalidResponse("Empty response"));
        return;
      }
      ExchangeResult result = successfulAnswer(s, *body);
      wipe(*body);
      complete(completion, result);
      return;
    }
    // Another status, or no HTTP response: the body's text, else "HTTP <status>".
    if (body && platform::isValidUtf8(*body)) {
      fail(completion, VelqoV1OAuthExchangeError::invalidResponse(*body));
    } else {
      fail(completion, VelqoV1OAuthExchangeError::invalidResponse("HTTP " + std::to_string(status)));
    }
  }
};

VelqoV1OAuthExchangeService::VelqoV1OAuthExchangeService(Passkey, VelqoOAuthConfig config,
                                                         std::shared_ptr<platform::HttpSession> urlSession)
    : config_(std::move(config)),
      verifier_(std::make_shared<VelqoV1OAuthTokenVerifierAdapter>(
          OAuthTokenVerifier{config_.publicKeyPem, config_.clientId})),
      urlSession_(std::move(urlSession)) {}

std::shared_ptr<VelqoV1OAuthExchangeService> VelqoV1OAuthExchangeService::create(
    VelqoOAuthConfig config, std::shared_ptr<platform::HttpSession> urlSession) {
  if (!urlSession) throw std::invalid_argument("VelqoV1OAuthExchangeService: an HTTP session is required");
  return std::make_shared<VelqoV1OAuthExchangeService>(Passkey{}, std::move(config), std::move(urlSession));
}

void VelqoV1OAuthExchangeService::exchange(const std::string& authCode,
                                           const std::optional<std::string>& codeVerifier,
                                           Completion completion) {
  std::string code = platform::trimWhitespace(authCode);
  if (code.empty()) {
    fail(completion, VelqoV1OAuthExchangeError::invalidConfiguration("authCode is required"));
    return;
  }

  std::vector<std::pair<std::string, std::string>> items{
      {"grant_type", "authorization_code"}, {"code", std::move(code)}, {"client_id", config_.clientId}};
  if (codeVerifier && !codeVerifier->empty()) items.emplace_back("code_verifier", *codeVerifier);
  std::optional<std::string> form = v1::detail::formEncode(items);
  for (auto& item : items) wipe(item.second);
  if (!form) {
    fail(completion, VelqoV1OAuthExchangeError::requestEncodingFailed());
    return;
  }

  platform::HttpRequest request;
  request.url = config_.tokenEndpoint;
  request.method = "POST";
  request.timeoutSeconds = 60.0;
  request.body = std::move(*form);
  request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  request.headers.emplace_back("Accept", "application/json");

  std::weak_ptr<const VelqoV1OAuthExchangeService> weak = weak_from_this();
  urlSession_->dataTask(std::move(request),
                        [weak, completion = std::move(completion)](
                            std::optional<std::string> body, std::optional<platform::HttpResponse> response,
                            std::optional<platform::PlatformError> error) {
                          auto self = weak.lock();
                          if (!self) return;  // released: the answer is dropped, nothing is called
                          Impl::onAnswer(*self, completion, std::move(body), response, error);
                        });
}

}  // namespace velqo
