// The ES256 key and token (data/es256_token.json) come from tests/core/data/make_core_vectors.py; the other
// tokens are signed by the loopback reference service's keys.

#include "velqo/core/oauth_token_verifier.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/encoding.hpp"
#include "support/test_environment.hpp"
#include "velqo_localservice/local_service.hpp"

namespace velqo {
namespace {

using Case = OAuthTokenVerifierError::Case;
using localservice::Curve;

std::string python(const char* key) {
  static const auto data =
      testing::readJsonFile(std::filesystem::path(__FILE__).parent_path() / "data/es256_token.json");
  return data.at(key).get<std::string>();
}

std::optional<Case> outcome(const std::string& pem, const std::string& token) {
  try {
    OAuthTokenVerifier{pem, "client-123"}.verify(token);
    return std::nullopt;
  } catch (const OAuthTokenVerifierError& error) {
    return error.errorCase();
  }
}

std::string segment(std::string_view json) {
  return platform::base64UrlEncode(bytesOf(json));
}

class OAuthTokenVerifierTest : public ::testing::Test {
 protected:
  std::string pem(Curve curve = Curve::p256) const { return service.publicKeyPem(curve); }
  std::string es256(std::string_view claims) const { return service.issueIdToken(Curve::p256, claims); }

  localservice::LocalService service;
};

TEST_F(OAuthTokenVerifierTest, AcceptsTokensOfEachCurve) {
  EXPECT_EQ(outcome(python("publicPem"), python("token")), std::nullopt);
  const std::pair<Curve, const char*> curves[] = {
      {Curve::p256, "ES256"}, {Curve::p384, "ES384"}, {Curve::p521, "ES512"}};
  for (const auto& [curve, alg] : curves) {
    const std::string header = std::string(R"({"typ":"JWT","alg":")") + alg + "\"}";
    EXPECT_EQ(outcome(pem(curve), service.signJwt(curve, header, R"({"aud":["a","client-123"],"exp":1})")),
              std::nullopt)
        << alg;
  }
}

TEST_F(OAuthTokenVerifierTest, RejectsEachFaultWithItsCase) {
  const std::string good = es256(R"({"aud":"client-123"})");
  const std::string goodRest = good.substr(good.find('.'));
  const std::string noSignature = good.substr(0, good.rfind('.') + 1);
  std::string flipped = good;
  flipped[good.find('.') + 3] = flipped[good.find('.') + 3] == 'A' ? 'B' : 'A';
  Bytes signature = platform::base64UrlDecode(good.substr(good.rfind('.') + 1)).value();
  signature.pop_back();
  const std::string es384 = service.issueIdToken(Curve::p384, R"({"aud":"client-123"})");
  struct Row {
    const char* name;
    std::string token;
    std::string pem;
    Case expected;
  };
  const Row rows[] = {
      {"no dots", "abc", pem(), Case::malformedToken},
      {"two parts", good.substr(0, good.rfind('.')), pem(), Case::malformedToken},
      {"four parts", good + ".x", pem(), Case::malformedToken},
      {"longer than the cap", good + std::string(OAuthTokenVerifier::maxTokenLength, 'A'), pem(),
       Case::malformedToken},
      {"header not base64url", "e30$" + goodRest, pem(), Case::decodingFailed},
      {"header not JSON", segment("alg=ES256") + goodRest, pem(), Case::decodingFailed},
      {"header a JSON array", segment(R"(["ES256"])") + goodRest, pem(), Case::decodingFailed},
      {"alg missing", segment(R"({"typ":"JWT"})") + goodRest, pem(), Case::unsupportedAlgorithm},
      {"alg none", segment(R"({"alg":"none"})") + goodRest, pem(), Case::unsupportedAlgorithm},
      {"alg lower-case", segment(R"({"alg":"es256"})") + goodRest, pem(), Case::unsupportedAlgorithm},
      {"alg not a string", segment(R"({"alg":256})") + goodRest, pem(), Case::unsupportedAlgorithm},
      {"payload altered", flipped, pem(), Case::invalidSignature},
      {"signature one byte short", noSignature + platform::base64UrlEncode(signature), pem(),
       Case::invalidSignature},
      {"empty signature", noSignature, pem(), Case::invalidSignature},
      {"signature not base64url", noSignature + "a*b", pem(), Case::decodingFailed},
      {"other key of the same curve", python("token"), pem(), Case::invalidSignature},
      {"ES384 token claiming ES256", segment(R"({"alg":"ES256"})") + es384.substr(es384.find('.')),
       pem(Curve::p384), Case::invalidSignature},
      {"unusable key", good, "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n",
       Case::invalidSignature},
      {"no key", good, "", Case::invalidSignature},
      {"audience differs", es256(R"({"aud":"client-1234"})"), pem(), Case::invalidAudience},
      {"audience missing", es256(R"({"sub":"x"})"), pem(), Case::invalidAudience},
      {"audience array without it", es256(R"({"aud":["a",["client-123"]]})"), pem(), Case::invalidAudience},
      {"payload not JSON", es256("client-123"), pem(), Case::decodingFailed},
      {"payload a JSON string", es256(R"("client-123")"), pem(), Case::decodingFailed},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(outcome(row.pem, row.token), row.expected) << row.name;
  }
}

}  // namespace
}  // namespace velqo
