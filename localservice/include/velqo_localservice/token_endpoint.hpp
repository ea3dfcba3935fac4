#pragma once

// The OAuth token endpoint of the loopback reference service: redeems registered authorization
// codes for ID tokens signed with the service's own ES256 / ES384 / ES512 keys, checking the form,
// the client id and the PKCE verifier.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velqo_localservice/local_service.hpp"

namespace velqo::localservice {

/// What a registered code redeems for.
struct TokenGrant {
  std::string clientId;                      ///< the "client_id" the form must carry
  std::optional<std::string> codeChallenge;  ///< S256 challenge of the flow's start action
  Curve curve = Curve::p256;                 ///< the key that signs the ID token
  std::string subject = "user-1";
  std::optional<std::string> audience;         ///< "aud" of the ID token; default: the client id
  bool tamperSignature = false;                ///< send the token with a broken signature
  std::optional<std::string> idTokenOverride;  ///< send this text as "id_token" instead
  std::int64_t expiresIn = 3600;
};

/// Registers POST `path` on a LocalService for as long as it lives (it must not outlive the
/// service). Thread-safe.
///
/// A redemption needs "Content-Type" application/x-www-form-urlencoded (else 415), a form that
/// decodes ("+" is a blank, "%XX" a byte; else 400 "invalid_request"), "grant_type"
/// "authorization_code" (else 400 "unsupported_grant_type"), a registered unused "code" (else 400
/// "invalid_grant"), its "client_id" (else 401 "invalid_client") and, when the code was
/// registered with a challenge, a "code_verifier" whose base64url SHA-256 is that challenge; a
/// verifier for a code without challenge is refused too (400 "invalid_grant"). Success answers
/// 200 {"id_token", "token_type": "Bearer", "expires_in"} and uses the code up. Errors are
/// {"error", "error_description"}.
class TokenEndpoint {
 public:
  /// One request that reached the endpoint, with its decoded form (empty when it did not decode).
  struct Redemption {
    RecordedRequest request;
    std::map<std::string, std::string> form;
  };

  explicit TokenEndpoint(LocalService& service, std::string path = "/oauth/token");
  ~TokenEndpoint();
  TokenEndpoint(const TokenEndpoint&) = delete;
  TokenEndpoint& operator=(const TokenEndpoint&) = delete;

  /// "http://127.0.0.1:<port>" + path.
  std::string url() const;

  void registerCode(std::string code, TokenGrant grant);
  /// Requests take these replies, oldest first, before any checking (the request is still kept).
  void enqueue(Reply reply);
  std::vector<Redemption> redemptions() const;

  /// The form decoding the endpoint applies; nothing for a malformed escape.
  static std::optional<std::map<std::string, std::string>> decodeForm(const std::string& body);
  /// The base64url (unpadded) SHA-256 of the verifier text: its S256 challenge.
  static std::string s256Challenge(const std::string& verifier);

  struct State;

 private:
  LocalService& service_;
  std::string path_;
  std::shared_ptr<State> state_;
};

}  // namespace velqo::localservice
