// The callback parser as a table of callback URLs.

#include <gtest/gtest.h>

#include "velqo/v1/flows/oauth_callback.hpp"

namespace velqo {
namespace {

TEST(OAuthCallbackParserTest, ReadsCodeAndStateOfCallbackURLs) {
  struct Case {
    const char* name;
    std::string url;
    std::optional<VelqoV1OAuthCallback> expected;
  };
  const VelqoV1OAuthCallback cs{"c1", "s1"};
  const Case cases[] = {
      {"plain", "myapp://callback?code=c1&state=s1", cs},
      {"state first", "myapp://callback?state=s1&code=c1", cs},
      {"reverse-DNS scheme with one slash", "com.example.app:/oauth2redirect?code=c1&state=s1", cs},
      {"no authority", "myapp:callback?code=c1&state=s1", cs},
      {"empty host", "myapp://?code=c1&state=s1", cs},
      {"https with fragment", "https://h.example/cb?x=1&code=c1&state=s1#frag", cs},
      {"relative reference", "/cb?code=c1&state=s1", cs},
      {"first of duplicates", "myapp://cb?code=c1&code=c2&state=s1&state=s2", cs},
      {"percent-decoded, plus kept", "myapp://cb?code=a%2Fb%20c+d&state=%E2%9C%93",
       VelqoV1OAuthCallback{"a/b c+d", "\xE2\x9C\x93"}},
      {"names are case-sensitive", "myapp://cb?Code=c1&state=s1", std::nullopt},
      {"encoded name matches", "myapp://cb?%63ode=c1&state=s1", cs},
      {"empty state", "myapp://cb?code=c1&state=", std::nullopt},
      {"first code has no value", "myapp://cb?code&code=c1&state=s1", std::nullopt},
      {"missing code", "myapp://cb?state=s1", std::nullopt},
      {"no query", "myapp://cb", std::nullopt},
      {"query only in the fragment", "myapp://cb#code=c1&state=s1", std::nullopt},
      {"blank inside", "myapp://cb?code=c 1&state=s1", std::nullopt},
      {"broken escape", "myapp://cb?code=c%2&state=s1", std::nullopt},
      {"escape that is not UTF-8", "myapp://cb?code=%FF&state=s1", std::nullopt},
      {"non-ASCII byte", "myapp://cb?code=\xC3\xA9&state=s1", std::nullopt},
      {"bad scheme", "1app://cb?code=c1&state=s1", std::nullopt},
      {"second fragment mark", "myapp://cb?code=c1&state=s1#a#b", std::nullopt},
      {"empty text", "", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VelqoV1OAuthCallbackParser::parse(c.url), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace velqo
