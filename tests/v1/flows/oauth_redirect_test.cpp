// The redirect session over scripted web-authentication sessions.

#include <gtest/gtest.h>

#include <vector>

#include "support/scripted_web_auth_session.hpp"
#include "velqo/v1/flows/oauth_redirect_session.hpp"

namespace velqo {
namespace {

using testing::ScriptedWebAuthenticationSession;
using Result = VelqoV1OAuthRedirectSession::RedirectResult;
using Error = VelqoV1OAuthRedirectError;

class OAuthRedirectTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::setWebAuthenticationSessionFactory({}); }

  // The factory hands out the given sessions in order.
  void install(std::vector<std::shared_ptr<ScriptedWebAuthenticationSession>> sessions) {
    auto queue =
        std::make_shared<std::vector<std::shared_ptr<ScriptedWebAuthenticationSession>>>(std::move(sessions));
    platform::setWebAuthenticationSessionFactory(
        [queue]() -> std::shared_ptr<platform::WebAuthenticationSession> {
          if (queue->empty()) return nullptr;
          auto next = queue->front();
          queue->erase(queue->begin());
          return next;
        });
  }

  int window = 0;
  std::shared_ptr<VelqoV1OAuthRedirectSession> redirect = VelqoV1OAuthRedirectSession::create(
      [this] { return static_cast<platform::PresentationAnchor>(&window); });
  std::vector<Result> results;
  VelqoV1OAuthRedirectSession::Completion keep() {
    return [this](const Result& r) { results.push_back(r); };
  }
};

TEST_F(OAuthRedirectTest, StartsThePlatformSessionAndHandsBackTheCallbackURL) {
  struct Case {
    const char* name;
    std::string scheme, expectedScheme;
  };
  const Case cases[] = {
      {"bare scheme", "myapp", "myapp"},
      {"full callback URL", "myapp://oauth/callback", "myapp"},
      {"reverse-DNS URL", "com.example.app://cb", "com.example.app"},
      {"not a URL despite ://", "my app://x", "my app://x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    results.clear();
    auto platformSession = ScriptedWebAuthenticationSession::succeeding("myapp://cb?code=c1&state=s1");
    install({platformSession});
    redirect->start("https://idp.example/authorize?x=1", c.scheme, true, keep());
    const auto started = platformSession->startedWith();
    ASSERT_TRUE(started.has_value());
    EXPECT_EQ(started->url, "https://idp.example/authorize?x=1");
    EXPECT_EQ(started->callbackScheme, c.expectedScheme);
    EXPECT_TRUE(started->prefersEphemeralSession);
    EXPECT_EQ(platformSession->anchorSeen(), &window);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].value(), "myapp://cb?code=c1&state=s1");
  }
}

TEST_F(OAuthRedirectTest, FailuresMapThePlatformOutcomeAndAMissingSchemeOpensNothing) {
  using platform::PlatformError;
  struct Case {
    const char* name;
    std::shared_ptr<ScriptedWebAuthenticationSession> session;
    std::optional<std::string> scheme;
    Error expected;
  };
  const Case cases[] = {
      {"cancelled login",
       ScriptedWebAuthenticationSession::failing(platform::webAuthenticationCancelledError()), "myapp",
       Error::cancelled()},
      {"other web-authentication error",
       ScriptedWebAuthenticationSession::failing(
           PlatformError(platform::domain::webAuthentication, 2, "No window to present over")),
       "myapp", Error::failed("No window to present over")},
      {"error of another domain is not looked at",
       ScriptedWebAuthenticationSession::failing(PlatformError("OtherDomain", 1, "x")), "myapp",
       Error::invalidCallback()},
      {"neither URL nor error", ScriptedWebAuthenticationSession::empty(), "myapp", Error::invalidCallback()},
      {"no scheme", ScriptedWebAuthenticationSession::succeeding("myapp://cb"), std::nullopt,
       Error::invalidCallback()},
      {"empty scheme", ScriptedWebAuthenticationSession::succeeding("myapp://cb"), "",
       Error::invalidCallback()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    results.clear();
    install({c.session});
    redirect->start("https://idp.example/a", c.scheme, false, keep());
    ASSERT_EQ(results.size(), 1u);
    ASSERT_FALSE(results[0].ok());
    EXPECT_EQ(results[0].error(), c.expected);
    EXPECT_EQ(c.session->startedWith().has_value(), c.scheme && !c.scheme->empty()) << "opened";
  }
}

TEST_F(OAuthRedirectTest, CancelEndsTheSessionUnderWayAndAStartReplacesIt) {
  auto first = ScriptedWebAuthenticationSession::succeeding("myapp://cb?first", false);
  auto second = ScriptedWebAuthenticationSession::succeeding("myapp://cb?second", false);
  install({first, second});

  redirect->start("https://idp.example/1", "myapp", false, keep());
  redirect->start("https://idp.example/2", "myapp", false, keep());  // the first is released, not cancelled
  EXPECT_EQ(first->cancelCount(), 0);
  EXPECT_TRUE(redirect->hasSession());

  redirect->cancel();
  EXPECT_EQ(second->cancelCount(), 1);
  EXPECT_FALSE(redirect->hasSession());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].error(), Error::cancelled());

  // The released first session still reports to its own completion.
  EXPECT_TRUE(first->deliver());
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].value(), "myapp://cb?first");

  redirect->cancel();  // nothing held: nothing happens
  EXPECT_EQ(results.size(), 2u);
}

}  // namespace
}  // namespace velqo
