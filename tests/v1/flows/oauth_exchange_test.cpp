// The code exchange over real HTTP against the loopback token endpoint.

#include <gtest/gtest.h>

#include <functional>

#include "support/wait_bound.hpp"
#include "v1/flows/qr_oauth_test_support.hpp"
#include "velqo/v1/flows/oauth_exchange_service.hpp"
#include "velqo_localservice/token_endpoint.hpp"

namespace velqo::testing {
namespace {

using namespace std::chrono_literals;
using localservice::Curve;
using localservice::Reply;
using localservice::TokenEndpoint;
using localservice::TokenGrant;
using Result = VelqoV1OAuthExchangeService::ExchangeResult;
using Error = VelqoV1OAuthExchangeError;

class OAuthExchangeTest : public ::testing::Test {
 protected:
  localservice::LocalService service;
  TokenEndpoint tokens{service};
  std::shared_ptr<platform::HttpSession> session = platform::HttpSession::create();

  VelqoOAuthConfig config() const {
    return VelqoOAuthConfig{tokens.url(), "client-123", service.publicKeyPem(Curve::p256)};
  }
  static TokenGrant grant(std::optional<std::string> challenge = std::nullopt) {
    TokenGrant g;
    g.clientId = "client-123";
    g.codeChallenge = std::move(challenge);
    g.curve = Curve::p256;
    return g;
  }
  Result run(const std::string& code, const std::optional<std::string>& verifier) {
    auto exchanger = VelqoV1OAuthExchangeService::create(config(), session);
    Catcher<Result> catcher(session);
    exchanger->exchange(code, verifier, catcher.callback());
    auto result = catcher.wait();
    EXPECT_TRUE(result.has_value());
    EXPECT_TRUE(catcher.onCompletionThread());
    return result.value_or(Result::failure(Error::invalidConfiguration("no result")));
  }
};

TEST_F(OAuthExchangeTest, ReturnsAVerifiedIdTokenAndSendsTheFormUnchanged) {
  const std::string verifier = "verifier-abcdefghijklmnopqrstuvwxyz-0123456789";
  tokens.registerCode("code-1", grant(TokenEndpoint::s256Challenge(verifier)));
  const Result result = run("  code-1\n", verifier);
  ASSERT_TRUE(result.ok()) << result.error().localizedDescription();
  EXPECT_NO_THROW(
      OAuthTokenVerifier({service.publicKeyPem(Curve::p256), "client-123"}).verify(result.value().idToken));
  EXPECT_EQ(result.value().tokenType, "Bearer");
  EXPECT_EQ(result.value().expiresIn, 3600);

  const auto sent = tokens.redemptions().back();
  EXPECT_EQ(sent.form, (std::map<std::string, std::string>{{"grant_type", "authorization_code"},
                                                           {"code", "code-1"},
                                                           {"client_id", "client-123"},
                                                           {"code_verifier", verifier}}));
  EXPECT_EQ(sent.request.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(sent.request.header("Accept"), "application/json");

  // Form values reach the endpoint unchanged; an empty verifier is left out.
  const std::string code = "a+b c&d=e/f%g?\xC3\xA9";
  tokens.registerCode(code, grant());
  ASSERT_TRUE(run(code, std::string()).ok());
  const auto odd = tokens.redemptions().back();
  EXPECT_EQ(odd.form.at("code"), code);
  EXPECT_EQ(odd.form.count("code_verifier"), 0u);
  EXPECT_EQ(odd.request.body.find('+'), std::string::npos) << odd.request.body;
}

TEST_F(OAuthExchangeTest, RejectsWhatIsNotAVerifiedIdToken) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::optional<std::string> verifier;
    Error expected;
  };
  auto withGrant = [this](std::function<void(TokenGrant&)> change) {
    return [this, change] {
      TokenGrant g = grant();
      change(g);
      tokens.registerCode("code-1", g);
    };
  };
  auto scripted = [this](Reply reply) { return [this, reply] { tokens.enqueue(reply); }; };
  const Case cases[] = {
      {"wrong audience", withGrant([](TokenGrant& g) { g.audience = "other-client"; }), std::nullopt,
       Error::tokenVerificationFailed(OAuthTokenVerifierError::invalidAudience().localizedDescription())},
      {"bad signature", withGrant([](TokenGrant& g) { g.tamperSignature = true; }), std::nullopt,
       Error::tokenVerificationFailed(OAuthTokenVerifierError::invalidSignature().localizedDescription())},
      {"empty id_token", withGrant([](TokenGrant& g) { g.idTokenOverride = ""; }), std::nullopt,
       Error::invalidResponse("Missing id_token")},
      {"id_token of another type", scripted(Reply::json(200, R"({"id_token":7})")), std::nullopt,
       Error::invalidResponse("Missing id_token")},
      {"not JSON", scripted(Reply::json(200, "<html>")), std::nullopt,
       Error::invalidResponse("Missing id_token")},
      {"2xx without body", scripted(Reply::empty(204)), std::nullopt,
       Error::invalidResponse("Empty response")},
      {"error body", scripted(Reply::json(400, R"({"error":"invalid_grant"})")), std::nullopt,
       Error::invalidResponse(R"({"error":"invalid_grant"})")},
      {"empty error body", scripted(Reply::empty(400)), std::nullopt, Error::invalidResponse("")},
      {"error body that is not UTF-8", scripted(Reply::json(502, "\xff\xfe")), std::nullopt,
       Error::invalidResponse("HTTP 502")},
      {"PKCE verifier refused by the endpoint",
       withGrant([](TokenGrant& g) { g.codeChallenge = TokenEndpoint::s256Challenge("the-right-verifier"); }),
       "a-wrong-verifier",
       Error::invalidResponse(R"({"error":"invalid_grant","error_description":"PKCE verification failed"})")},
  };
  for (const auto& c : cases) {
    c.arrange();
    const Result result = run("code-1", c.verifier);
    ASSERT_FALSE(result.ok()) << c.name;
    EXPECT_EQ(result.error(), c.expected) << c.name << ": " << result.error().text();
  }
}

TEST_F(OAuthExchangeTest, FailuresBeforeSendingCompleteOnTheCallersThread) {
  struct Case {
    const char* name;
    std::string code;
    std::optional<std::string> verifier;
    Error expected;
  };
  const Case cases[] = {
      {"blank code", " \n\t", "v", Error::invalidConfiguration("authCode is required")},
      {"code of no-break and ideographic spaces", "\xC2\xA0\xE3\x80\x80\xE2\x80\xA8", "v",
       Error::invalidConfiguration("authCode is required")},
      {"code not UTF-8", "c\xff", std::nullopt, Error::requestEncodingFailed()},
      {"verifier not UTF-8", "c", std::string("\xc3"), Error::requestEncodingFailed()},
  };
  auto exchanger = VelqoV1OAuthExchangeService::create(config(), session);
  for (const auto& c : cases) {
    Catcher<Result> catcher(session);
    exchanger->exchange(c.code, c.verifier, catcher.callback());
    ASSERT_EQ(catcher.calls(), 1) << c.name;
    EXPECT_EQ(catcher.callerThread(), std::this_thread::get_id()) << c.name;
    EXPECT_EQ(catcher.wait(0ms)->error(), c.expected) << c.name;
  }
  EXPECT_EQ(service.requestCount(), 0u);
}

TEST_F(OAuthExchangeTest, NoAnswerIsATransportError) {
  auto exchanger =
      VelqoV1OAuthExchangeService::create({"http://127.0.0.1:1/token", "client-123", ""}, session);
  Catcher<Result> catcher(session);
  exchanger->exchange("code-1", std::nullopt, catcher.callback());
  auto result = catcher.wait();
  ASSERT_TRUE(result.has_value() && !result->ok());
  EXPECT_EQ(result->error().errorCase(), Error::Case::transportError);
  EXPECT_FALSE(result->error().text().empty());
}

TEST_F(OAuthExchangeTest, AReleasedServiceNeverCompletes) {
  Reply held = Reply::json(200, R"({"id_token":"x"})");
  held.delay = 300ms;
  tokens.enqueue(held);
  Catcher<Result> catcher(session);
  auto exchanger = VelqoV1OAuthExchangeService::create(config(), session);
  exchanger->exchange("code-1", std::nullopt, catcher.callback());
  ASSERT_TRUE(service.waitForRequests(1, kWaitBound));
  exchanger.reset();
  ASSERT_TRUE(probeAfterEarlierAnswers(service, *session));
  EXPECT_EQ(catcher.calls(), 0);
}

}  // namespace
}  // namespace velqo::testing
