#include "velqo_localservice/token_endpoint.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <utility>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "platform/url.hpp"

namespace velqo::localservice {
namespace {

using Json = nlohmann::ordered_json;

Reply oauthError(int status, const std::string& error, const std::string& description) {
  Json body = Json::object();
  body["error"] = error;
  body["error_description"] = description;
  return Reply::json(status, body.dump());
}

std::optional<std::string> decodeFormPart(std::string part) {
  for (char& c : part) {
    if (c == '+') c = ' ';
  }
  return platform::percentDecode(part);
}

// Breaks the signature: its first character carries six whole bits of r.
std::string tampered(std::string token) {
  const auto dot = token.rfind('.');
  if (dot != std::string::npos && dot + 1 < token.size()) {
    char& c = token[dot + 1];
    c = c == 'A' ? 'B' : 'A';
  }
  return token;
}

}  // namespace

struct TokenEndpoint::State {
  std::mutex mutex;
  std::map<std::string, TokenGrant> grants;
  std::deque<Reply> script;
  std::vector<Redemption> redemptions;
  std::string issuer;
  LocalService* service = nullptr;

  Reply serve(const RecordedRequest& request) {
    auto form = decodeForm(request.body);
    std::optional<Reply> scripted;
    {
      std::lock_guard lock(mutex);
      redemptions.push_back(Redemption{request, form.value_or(std::map<std::string, std::string>{})});
      if (!script.empty()) {
        scripted = std::move(script.front());
        script.pop_front();
      }
    }
    if (scripted) return *scripted;

    const std::string contentType = platform::toLowerAscii(request.header("Content-Type").value_or(""));
    if (contentType.rfind("application/x-www-form-urlencoded", 0) != 0) {
      return oauthError(415, "invalid_request", "form body expected");
    }
    if (!form) return oauthError(400, "invalid_request", "malformed form");
    auto field = [&form](const char* name) -> std::optional<std::string> {
      auto it = form->find(name);
      if (it == form->end()) return std::nullopt;
      return it->second;
    };
    if (field("grant_type") != "authorization_code") {
      return oauthError(400, "unsupported_grant_type", "only authorization_code is supported");
    }
    const std::string code = field("code").value_or("");
    TokenGrant grant;
    {
      std::lock_guard lock(mutex);
      auto it = grants.find(code);
      if (it == grants.end()) return oauthError(400, "invalid_grant", "unknown or used code");
      grant = it->second;
    }
    if (field("client_id") != grant.clientId)
      return oauthError(401, "invalid_client", "client_id does not match");
    const auto verifier = field("code_verifier");
    if (grant.codeChallenge) {
      if (!verifier) return oauthError(400, "invalid_grant", "code_verifier required");
      if (s256Challenge(*verifier) != *grant.codeChallenge) {
        return oauthError(400, "invalid_grant", "PKCE verification failed");
      }
    } else if (verifier) {
      return oauthError(400, "invalid_grant", "no code challenge was registered for this code");
    }
    {
      std::lock_guard lock(mutex);
      if (grants.erase(code) == 0) return oauthError(400, "invalid_grant", "unknown or used code");
    }

    std::string idToken;
    if (grant.idTokenOverride) {
      idToken = *grant.idTokenOverride;
    } else {
      const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
      Json claims = Json::object();
      claims["iss"] = issuer;
      claims["sub"] = grant.subject;
      claims["aud"] = grant.audience.value_or(grant.clientId);
      claims["iat"] = now;
      claims["exp"] = now + grant.expiresIn;
      idToken = service->issueIdToken(grant.curve, claims.dump());
      if (grant.tamperSignature) idToken = tampered(std::move(idToken));
    }
    Json body = Json::object();
    body["id_token"] = idToken;
    body["token_type"] = "Bearer";
    body["expires_in"] = grant.expiresIn;
    return Reply::json(200, body.dump());
  }
};

TokenEndpoint::TokenEndpoint(LocalService& service, std::string path)
    : service_(service), path_(std::move(path)), state_(std::make_shared<State>()) {
  state_->issuer = service_.baseUrl();
  state_->service = &service_;
  std::shared_ptr<State> state = state_;
  service_.route("POST", path_, [state](const RecordedRequest& request) { return state->serve(request); });
}

TokenEndpoint::~TokenEndpoint() {
  service_.removeRoute("POST", path_);
}

std::string TokenEndpoint::url() const {
  return service_.baseUrl() + path_;
}

void TokenEndpoint::registerCode(std::string code, TokenGrant grant) {
  std::lock_guard lock(state_->mutex);
  state_->grants[std::move(code)] = std::move(grant);
}

void TokenEndpoint::enqueue(Reply reply) {
  std::lock_guard lock(state_->mutex);
  state_->script.push_back(std::move(reply));
}

std::vector<TokenEndpoint::Redemption> TokenEndpoint::redemptions() const {
  std::lock_guard lock(state_->mutex);
  return state_->redemptions;
}

std::optional<std::map<std::string, std::string>> TokenEndpoint::decodeForm(const std::string& body) {
  std::map<std::string, std::string> form;
  if (body.empty()) return form;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(body.find('&', start), body.size());
    const std::string item = body.substr(start, end - start);
    const std::size_t equals = item.find('=');
    auto name = decodeFormPart(item.substr(0, equals));
    auto value = decodeFormPart(equals == std::string::npos ? std::string() : item.substr(equals + 1));
    if (!name || !value) return std::nullopt;
    form.emplace(std::move(*name), std::move(*value));  // the first of duplicate names wins
    if (end == body.size()) break;
    start = end + 1;
  }
  return form;
}

std::string TokenEndpoint::s256Challenge(const std::string& verifier) {
  return platform::base64UrlEncode(
      platform::crypto::sha256(platform::crypto::view(std::string_view(verifier))));
}

}  // namespace velqo::localservice
