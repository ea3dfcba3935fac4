#pragma once

// Redemption of a V1 flow's authorization code at the OAuth token endpoint, with local
// verification of the returned ID token.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "velqo/core/oauth_config.hpp"
#include "velqo/core/oauth_token_verifier.hpp"
#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/platform/result.hpp"

namespace velqo {

/// What the exchange hands back: the verified ID token (non-empty), its type and its lifetime
/// in seconds, as the token endpoint sent them. No access or refresh token.
struct VELQO_API VelqoV1OAuthToken {
  std::string idToken;
  std::optional<std::string> tokenType;
  std::optional<std::int64_t> expiresIn;

  friend bool operator==(const VelqoV1OAuthToken&, const VelqoV1OAuthToken&) = default;
};

/// Why an exchange failed, in this order: `invalidConfiguration` (an empty authorization
/// code: "authCode is required"), `transportError` (the transport's description),
/// `invalidResponse` ("Missing id_token", "Empty response", or the error body of a non-2xx
/// answer), `tokenVerificationFailed` (the verifier's description), `requestEncodingFailed`
/// (the form cannot be encoded: a text that is not valid UTF-8). Equality: same case and text.
///
/// As a platform error: domain "VelqoV1OAuthExchangeError", code = the case's position,
/// description = the text (a fixed text for `requestEncodingFailed`).
class VELQO_API VelqoV1OAuthExchangeError : public platform::PlatformError {
 public:
  enum class Case {
    invalidConfiguration,
    transportError,
    invalidResponse,
    tokenVerificationFailed,
    requestEncodingFailed
  };

  static VelqoV1OAuthExchangeError invalidConfiguration(std::string text);
  static VelqoV1OAuthExchangeError transportError(std::string text);
  static VelqoV1OAuthExchangeError invalidResponse(std::string text);
  static VelqoV1OAuthExchangeError tokenVerificationFailed(std::string text);
  static VelqoV1OAuthExchangeError requestEncodingFailed();

  Case errorCase() const noexcept { return case_; }
  /// The case's text payload (empty for `requestEncodingFailed`).
  const std::string& text() const noexcept { return text_; }

  friend bool operator==(const VelqoV1OAuthExchangeError& a, const VelqoV1OAuthExchangeError& b) {
    return a.case_ == b.case_ && a.text_ == b.text_;
  }

 private:
  VelqoV1OAuthExchangeError(Case c, std::string text, const std::string& description);
  Case case_;
  std::string text_;
};

/// Checks an ID token. `verify` returns when the token is accepted and throws otherwise (an
/// exception whose description the exchange reports: a platform error's localized description,
/// else `what()`). Called on the HTTP session's completion thread; must be thread-safe.
class VELQO_API VelqoV1TokenVerifying {
 public:
  virtual ~VelqoV1TokenVerifying() = default;
  virtual void verify(std::string_view idToken) const = 0;

 protected:
  VelqoV1TokenVerifying() = default;
  VelqoV1TokenVerifying(const VelqoV1TokenVerifying&) = default;
  VelqoV1TokenVerifying& operator=(const VelqoV1TokenVerifying&) = default;
};

/// Lets an `OAuthTokenVerifier` (signature against its PEM key, audience) serve as a
/// `VelqoV1TokenVerifying`: `verify` is the verifier's own and throws its
/// `OAuthTokenVerifierError`.
class VELQO_API VelqoV1OAuthTokenVerifierAdapter final : public VelqoV1TokenVerifying {
 public:
  explicit VelqoV1OAuthTokenVerifierAdapter(OAuthTokenVerifier verifier) : verifier_(std::move(verifier)) {}
  void verify(std::string_view idToken) const override { verifier_.verify(idToken); }
  const OAuthTokenVerifier& verifier() const noexcept { return verifier_; }

 private:
  OAuthTokenVerifier verifier_;
};

/// Redeems authorization codes at `config.tokenEndpoint`: one form POST per exchange
/// ("grant_type"="authorization_code", "code", "client_id", and "code_verifier" when given),
/// never retried, nothing stored. The returned ID token is verified against
/// `config.publicKeyPem` with `config.clientId` as audience.
///
/// Threads: an empty code and an unencodable form complete synchronously on the caller's
/// thread; every other completion runs on the HTTP session's completion thread. No mutable
/// state; several exchanges may run at once from any threads.
///
/// Ownership: made by `create`, held through std::shared_ptr. A request in flight holds the
/// service weakly: once the host releases the service, a pending answer is dropped and its
/// completion never called. Otherwise each exchange ends in exactly one completion call.
/// Exceptions thrown by a completion are caught and dropped.
class VELQO_API VelqoV1OAuthExchangeService
    : public std::enable_shared_from_this<VelqoV1OAuthExchangeService> {
 public:
  using ExchangeResult = Result<VelqoV1OAuthToken, VelqoV1OAuthExchangeError>;
  using Completion = std::function<void(const ExchangeResult&)>;

  /// Throws std::invalid_argument for a null session.
  static std::shared_ptr<VelqoV1OAuthExchangeService> create(
      VelqoOAuthConfig config, std::shared_ptr<platform::HttpSession> urlSession);
  VelqoV1OAuthExchangeService(const VelqoV1OAuthExchangeService&) = delete;
  VelqoV1OAuthExchangeService& operator=(const VelqoV1OAuthExchangeService&) = delete;

  /// Exchanges the code (trimmed of white space and line breaks) and, when present and
  /// non-empty, the PKCE verifier (sent unchanged) for a verified ID token. Returns at once.
  void exchange(const std::string& authCode, const std::optional<std::string>& codeVerifier,
                Completion completion);

 private:
  // Only `create` can make one: a private constructor keeps it from being an aggregate
  // that `{}` would build anywhere.
  class Passkey {
    Passkey() = default;
    friend class VelqoV1OAuthExchangeService;
  };

 public:
  /// Use `create`.
  VelqoV1OAuthExchangeService(Passkey, VelqoOAuthConfig config,
                              std::shared_ptr<platform::HttpSession> urlSession);

 private:
  struct Impl;
  friend struct Impl;

  const VelqoOAuthConfig config_;
  const std::shared_ptr<const VelqoV1TokenVerifying> verifier_;
  const std::shared_ptr<platform::HttpSession> urlSession_;
};

}  // namespace velqo
