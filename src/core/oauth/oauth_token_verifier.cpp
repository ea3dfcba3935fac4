#include "velqo/core/oauth_token_verifier.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <vector>

#include "core/json/json_reader.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo {

namespace {

namespace pc = platform::crypto;

// The JSON object of a base64url segment, or nothing when the segment is not base64url, not
// JSON or not an object.
std::optional<nlohmann::json> decodeSegment(std::string_view segment) {
  auto bytes = platform::base64UrlDecode(segment);
  if (!bytes) return std::nullopt;
  std::optional<nlohmann::json> value =
      json::readJson(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!value || !value->is_object()) return std::nullopt;
  return value;
}

std::optional<pc::EcCurve> curveOf(const nlohmann::json& header) {
  auto alg = header.find("alg");
  if (alg == header.end() || !alg->is_string()) return std::nullopt;
  const auto& name = alg->get_ref<const std::string&>();
  if (name == "ES256") return pc::EcCurve::p256;
  if (name == "ES384") return pc::EcCurve::p384;
  if (name == "ES512") return pc::EcCurve::p521;
  return std::nullopt;
}

bool audienceMatches(const nlohmann::json& payload, const std::string& expected) {
  auto aud = payload.find("aud");
  if (aud == payload.end()) return false;
  if (aud->is_string()) return aud->get_ref<const std::string&>() == expected;
  if (aud->is_array()) {
    for (const auto& entry : *aud) {
      if (entry.is_string() && entry.get_ref<const std::string&>() == expected) return true;
    }
  }
  return false;
}

}  // namespace

OAuthTokenVerifierError::OAuthTokenVerifierError(Case errorCase, const char* description)
    : PlatformError("OAuthTokenVerifierError", static_cast<long>(errorCase), description), case_(errorCase) {}

OAuthTokenVerifierError OAuthTokenVerifierError::malformedToken() {
  return OAuthTokenVerifierError(Case::malformedToken, "The ID token is malformed.");
}
OAuthTokenVerifierError OAuthTokenVerifierError::unsupportedAlgorithm() {
  return OAuthTokenVerifierError(Case::unsupportedAlgorithm,
                                 "The ID token uses an unsupported signing algorithm.");
}
OAuthTokenVerifierError OAuthTokenVerifierError::invalidSignature() {
  return OAuthTokenVerifierError(Case::invalidSignature, "The ID token signature is invalid.");
}
OAuthTokenVerifierError OAuthTokenVerifierError::invalidAudience() {
  return OAuthTokenVerifierError(Case::invalidAudience, "The ID token audience does not match.");
}
OAuthTokenVerifierError OAuthTokenVerifierError::decodingFailed() {
  return OAuthTokenVerifierError(Case::decodingFailed, "The ID token could not be decoded.");
}

void OAuthTokenVerifier::verify(std::string_view idToken) const {
  if (idToken.size() > maxTokenLength) throw OAuthTokenVerifierError::malformedToken();

  // Exactly three parts; empty parts count (".." has three).
  const auto firstDot = idToken.find('.');
  if (firstDot == std::string_view::npos) throw OAuthTokenVerifierError::malformedToken();
  const auto secondDot = idToken.find('.', firstDot + 1);
  if (secondDot == std::string_view::npos || idToken.find('.', secondDot + 1) != std::string_view::npos) {
    throw OAuthTokenVerifierError::malformedToken();
  }
  const std::string_view headerPart = idToken.substr(0, firstDot);
  const std::string_view payloadPart = idToken.substr(firstDot + 1, secondDot - firstDot - 1);
  const std::string_view signaturePart = idToken.substr(secondDot + 1);

  const auto header = decodeSegment(headerPart);
  if (!header) throw OAuthTokenVerifierError::decodingFailed();
  const auto curve = curveOf(*header);
  if (!curve) throw OAuthTokenVerifierError::unsupportedAlgorithm();

  const auto signature = platform::base64UrlDecode(signaturePart);
  if (!signature) throw OAuthTokenVerifierError::decodingFailed();
  const std::string_view signedPart = idToken.substr(0, secondDot);
  const auto result = pc::ecdsaVerifyRaw(pem, *curve, pc::view(signedPart), pc::view(*signature));
  if (result != pc::EcdsaVerifyResult::valid) throw OAuthTokenVerifierError::invalidSignature();

  const auto payload = decodeSegment(payloadPart);
  if (!payload) throw OAuthTokenVerifierError::decodingFailed();
  if (!audienceMatches(*payload, expectedAudience)) throw OAuthTokenVerifierError::invalidAudience();
}

}  // namespace velqo
