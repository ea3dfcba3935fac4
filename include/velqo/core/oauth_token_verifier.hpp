#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"

namespace velqo {

/// Why an ID token was refused. Domain "OAuthTokenVerifierError", code = the case's position.
class VELQO_API OAuthTokenVerifierError : public platform::PlatformError {
 public:
  enum class Case {
    malformedToken,        ///< not three dot-separated parts, or longer than maxTokenLength
    unsupportedAlgorithm,  ///< "alg" is not ES256, ES384 or ES512
    invalidSignature,      ///< the signature does not check against the key (or the key is unusable)
    invalidAudience,       ///< "aud" neither equals nor contains the expected audience
    decodingFailed,        ///< a part is not base64url, or the header or payload is not a JSON object
  };

  static OAuthTokenVerifierError malformedToken();
  static OAuthTokenVerifierError unsupportedAlgorithm();
  static OAuthTokenVerifierError invalidSignature();
  static OAuthTokenVerifierError invalidAudience();
  static OAuthTokenVerifierError decodingFailed();

  Case errorCase() const noexcept { return case_; }

 private:
  OAuthTokenVerifierError(Case errorCase, const char* description);
  Case case_;
};

/// Checks an ID token (a compact JWT signed with ES256, ES384 or ES512) against a PEM public key
/// and an expected audience. A plain value; `verify` is const, thread-safe and synchronous.
struct VELQO_API OAuthTokenVerifier {
  /// The EC public key in PEM form (the OAuth settings' publicKeyPem).
  std::string pem;
  /// The audience the token must name (the OAuth settings' clientId).
  std::string expectedAudience;

  /// Longer tokens are refused as malformed without being decoded.
  static constexpr std::size_t maxTokenLength = 64 * 1024;

  /// Returns when the token's signature checks against `pem` and its "aud" (a text, or an
  /// array of texts) matches `expectedAudience`; otherwise throws OAuthTokenVerifierError.
  /// Expiry and other claims are not looked at.
  void verify(std::string_view idToken) const;

  bool operator==(const OAuthTokenVerifier&) const = default;
};

}  // namespace velqo
