// The token endpoint's form POST and the shared code redemption, over real HTTP against the
// loopback token endpoint (which decodes the form and signs ID tokens with its own keys).

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

#include "account/form/code_redemption.hpp"
#include "account/form/post_form.hpp"
#include "support/wait_bound.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo_localservice/token_endpoint.hpp"

namespace velqo {
namespace {

using localservice::Curve;
using localservice::Reply;
using localservice::TokenEndpoint;
using localservice::TokenGrant;

template <class T>
struct OnMain {
  std::optional<T> value;
  bool onMainQueue = false;
  std::function<void(T)> callback() {
    return [this](T v) {
      onMainQueue = platform::mainQueue().isCurrent();
      value.emplace(std::move(v));
    };
  }
  T wait() {
    EXPECT_TRUE(platform::mainQueue().runUntil([this] { return value.has_value(); }, testing::kWaitBound));
    EXPECT_TRUE(onMainQueue);
    return std::move(*value);
  }
};

class FormExchangeTest : public ::testing::Test {
 protected:
  localservice::LocalService service;
  TokenEndpoint tokens{service};

  FormOutcome post(const FormParameters& parameters, const std::string& url) {
    OnMain<FormOutcome> done;
    postForm(url, parameters, done.callback());
    return done.wait();
  }
  VelqoOAuthConfig config() const { return {tokens.url(), "client-9", service.publicKeyPem(Curve::p384)}; }
  CodeRedemptionResult redeem(const std::string& code) {
    OnMain<CodeRedemptionResult> done;
    redeemAuthorizationCode(config(), OAuthTokenVerifier{config().publicKeyPem, "client-9"}, code,
                            done.callback());
    return done.wait();
  }
  void registerCode(const std::string& code) {
    TokenGrant grant;
    grant.clientId = "client-9";
    grant.curve = Curve::p384;
    grant.subject = "alice";
    tokens.registerCode(code, grant);
  }
};

TEST_F(FormExchangeTest, SendsOnlyTheFormHeaderAndEncodesBlanksAsPlus) {
  tokens.enqueue(Reply::json(200, R"({"id_token":"t","token_type":"Bearer","expires_in":5})"));
  auto outcome = post({{"grant_type", "a b+c"}, {"k=&/:", "-._*AZaz09"}, {"u", "\xC3\xA9~"}}, tokens.url());
  ASSERT_TRUE(outcome.ok()) << outcome.error().localizedDescription();
  EXPECT_EQ(outcome.value().second, 200);
  EXPECT_EQ(outcome.value().first.expires_in, 5);

  const auto request = tokens.redemptions().back().request;
  EXPECT_EQ(request.body, "grant_type=a+b%2Bc&k%3D%26%2F%3A=-._*AZaz09&u=%C3%A9%7E");
  EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
  for (const char* absent : {"Accept", "Authorization", "X-API-Key"}) EXPECT_FALSE(request.header(absent));
}

TEST_F(FormExchangeTest, AnswersOfAnyStatusDecodeAndFailuresReachTheMainQueue) {
  tokens.enqueue(Reply::json(400, R"({"error":"invalid_grant"})"));
  auto rejected = post({}, tokens.url());
  ASSERT_TRUE(rejected.ok());
  EXPECT_EQ(rejected.value().second, 400);
  EXPECT_EQ(rejected.value().first, OAuthTokenResponse{});

  tokens.enqueue(Reply::json(200, "not json"));
  auto garbled = post({}, tokens.url());
  ASSERT_FALSE(garbled.ok());
  EXPECT_EQ(garbled.error().domain(), json::decodingDomain);

  tokens.enqueue(Reply::empty(200));
  auto empty = post({}, tokens.url());
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error(),
            platform::PlatformError("NetworkError", -3, "No data received for " + tokens.url()));

  EXPECT_FALSE(post({}, "http://127.0.0.1:1/token").ok());  // nothing listens there
  EXPECT_FALSE(post({}, "not a url").ok());  // fails at once, still delivered on the main queue
}

TEST_F(FormExchangeTest, RedemptionVerifiesTheIdTokenAndNamesEachFailure) {
  registerCode("code-1");
  auto redeemed = redeem("code-1");
  ASSERT_EQ(redeemed.kind, CodeRedemptionResult::Kind::redeemed) << redeemed.description;
  EXPECT_NO_THROW(OAuthTokenVerifier({config().publicKeyPem, "client-9"}).verify(redeemed.idToken));
  EXPECT_EQ(tokens.redemptions().back().request.body,
            "grant_type=authorization_code&code=code-1&client_id=client-9");

  auto used = redeem("code-1");  // a code redeems once; the endpoint then answers 400
  EXPECT_EQ(used.kind, CodeRedemptionResult::Kind::exchangeRejected);
  EXPECT_EQ(used.status, 400);

  // A refusal is a refusal even with an ID token in it.
  tokens.enqueue(Reply::json(400, R"({"id_token":"t"})"));
  EXPECT_EQ(redeem("code-3").kind, CodeRedemptionResult::Kind::exchangeRejected);

  tokens.enqueue(Reply::json(200, "[]"));  // not an object: the decoding error
  EXPECT_EQ(redeem("code-4").kind, CodeRedemptionResult::Kind::exchangeError);

  CodeRedemptionResult other;
  other.description = "boom";
  EXPECT_EQ(tokenVerificationSentence(other), "Token verification failed. boom");
}

}  // namespace
}  // namespace velqo
