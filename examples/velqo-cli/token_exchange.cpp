#include "token_exchange.hpp"

#include <velqo/platform/http.hpp>
#include <velqo/platform/queue.hpp>
#include <velqo/v1/flows/oauth_callback.hpp>

#include <fstream>
#include <sstream>

#include "diagnostics.hpp"
#include "json_output.hpp"

namespace velqo::cli {
namespace {

const char* caseName(VelqoV1OAuthExchangeError::Case c) {
  switch (c) {
    case VelqoV1OAuthExchangeError::Case::invalidConfiguration:
      return "invalidConfiguration";
    case VelqoV1OAuthExchangeError::Case::transportError:
      return "transportError";
    case VelqoV1OAuthExchangeError::Case::invalidResponse:
      return "invalidResponse";
    case VelqoV1OAuthExchangeError::Case::tokenVerificationFailed:
      return "tokenVerificationFailed";
    case VelqoV1OAuthExchangeError::Case::requestEncodingFailed:
      return "requestEncodingFailed";
  }
  return "unknown";
}

Json resultJson(const VelqoV1OAuthExchangeService::ExchangeResult& result) {
  if (!result.ok()) {
    const auto& error = result.error();
    Json fields = Json::object();
    fields["case"] = caseName(error.errorCase());
    fields["message"] = error.text().empty() ? std::string(error.what()) : error.text();
    return Json{{"error", std::move(fields)}};
  }
  const auto& token = result.value();
  Json fields = Json::object();
  fields["idToken"] = token.idToken;
  fields["tokenType"] = token.tokenType ? Json(*token.tokenType) : Json(nullptr);
  fields["expiresIn"] = token.expiresIn ? Json(*token.expiresIn) : Json(nullptr);
  return Json{{"token", std::move(fields)}};
}

}  // namespace

std::optional<CallbackParts> parseCallback(const std::string& url) {
  auto callback = VelqoV1OAuthCallbackParser::parse(url);
  if (!callback) return std::nullopt;
  return CallbackParts{std::move(callback->code), std::move(callback->state)};
}

std::optional<TokenExchange> TokenExchange::prepare(const TokenOptions& options) {
  std::ifstream file(options.pemFile, std::ios::binary);
  std::ostringstream pem;
  if (file) pem << file.rdbuf();
  if (!file || pem.str().empty()) {
    printMessage("cannot read the PEM file given with --pem-file");
    return std::nullopt;
  }
  VelqoOAuthConfig config;
  config.tokenEndpoint = options.tokenEndpoint;
  config.clientId = options.clientId;
  config.publicKeyPem = pem.str();
  return TokenExchange(std::move(config));
}

void TokenExchange::run(const std::string& code, const std::optional<std::string>& verifier,
                        std::function<void(bool)> done) {
  registerSecret(code);
  if (verifier) registerSecret(*verifier);
  service_ = VelqoV1OAuthExchangeService::create(config_, platform::HttpSession::shared());
  // The completion runs on the HTTP session's thread (or here for an empty code); the result
  // is printed and handed over on the main queue.
  service_->exchange(code, verifier,
                     [done = std::move(done)](const VelqoV1OAuthExchangeService::ExchangeResult& r) {
                       const bool ok = r.ok();
                       if (ok) registerSecret(r.value().idToken);
                       Json line = resultJson(r);
                       platform::mainQueue().async([line = std::move(line), ok, done] {
                         printJsonLine(line);
                         done(ok);
                       });
                     });
}

}  // namespace velqo::cli
