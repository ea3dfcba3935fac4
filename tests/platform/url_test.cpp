#include "platform/url.hpp"

#include <gtest/gtest.h>

namespace velqo::platform {
namespace {

struct ParseCase {
  const char* text;
  const char* normalised;
  const char* scheme;
  const char* host;
  std::optional<int> port;
  const char* path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;
};

TEST(Url, ParsesAbsoluteUrlsIncludingCustomSchemes) {
  const ParseCase cases[] = {
      {"https://h/base", "https://h/base", "https", "h", std::nullopt, "/base", std::nullopt, std::nullopt},
      {"https://h", "https://h/", "https", "h", std::nullopt, "/", std::nullopt, std::nullopt},
      {"myapp://callback?code=x", "myapp://callback/?code=x", "myapp", "callback", std::nullopt, "/",
       "code=x", std::nullopt},
      {"com.example.app://oauth/cb?code=1&state=2", "com.example.app://oauth/cb?code=1&state=2",
       "com.example.app", "oauth", std::nullopt, "/cb", "code=1&state=2", std::nullopt},
      {"https://auth.example.com:8443/a%2Fb?x=%2B#frag", "https://auth.example.com:8443/a%2Fb?x=%2B#frag",
       "https", "auth.example.com", 8443, "/a%2Fb", "x=%2B", "frag"},
      {"http://127.0.0.1:5000/v1", "http://127.0.0.1:5000/v1", "http", "127.0.0.1", 5000, "/v1", std::nullopt,
       std::nullopt},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.text);
    const auto url = Url::parse(c.text);
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->text(), c.normalised);
    EXPECT_EQ(url->scheme(), c.scheme);
    EXPECT_EQ(url->host(), c.host);
    EXPECT_EQ(url->port(), c.port);
    EXPECT_EQ(url->path(), c.path);
    EXPECT_EQ(url->query(), c.query);
    EXPECT_EQ(url->fragment(), c.fragment);
  }
  EXPECT_EQ(Url::parse("https://h"), Url::parse("https://h/"));
}

TEST(Url, RefusesRelativeAndMalformedText) {
  for (const char* text : {"", "/relative/path", "example.com/path", "https://h/a b", "https://h/?x=%zz",
                           "https://h/%4", "https://h/a%", "myapp://", " https://h/", "https://h/\n"}) {
    EXPECT_FALSE(Url::parse(text).has_value()) << '"' << text << '"';
  }
  EXPECT_FALSE(Url::parse(std::string("https://h/a\0@evil", 17)).has_value());
}

TEST(Url, QueryItemsAreDecodedInOrder) {
  const auto url = Url::parse("myapp://cb?code=a%2Bb&state=x+y&flag&empty=&dup=1&dup=2&eq=a=b&n%61me=%26%3D");
  ASSERT_TRUE(url.has_value());
  using Item = std::pair<std::string, std::optional<std::string>>;
  const std::vector<Item> expected = {
      {"code", "a+b"}, {"state", "x+y"}, {"flag", std::nullopt}, {"empty", ""},
      {"dup", "1"},    {"dup", "2"},     {"eq", "a=b"},          {"name", "&="},
  };
  EXPECT_EQ(url->queryItems(), expected);
  EXPECT_TRUE(Url::parse("https://h/p")->queryItems().empty());
  EXPECT_TRUE(Url::parse("https://h/p?")->queryItems().empty());
}

TEST(Url, AppendingPathComponent) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"https://h/base", "v1", "https://h/base/v1"},
      {"https://h/base/", "v1", "https://h/base/v1"},
      {"https://h", "v1", "https://h/v1"},
      {"https://h/base", "/v1", "https://h/base/v1"},
      {"https://h/base", "v1/token", "https://h/base/v1/token"},
      {"https://h/base?x=1#f", "v1", "https://h/base/v1?x=1#f"},
      {"https://h/base", "a b?c#d%", "https://h/base/a%20b%3Fc%23d%25"},
      {"https://h/base", "", "https://h/base"},
  };
  for (const auto& [base, segment, expected] : cases) {
    EXPECT_EQ(Url::parse(base)->appendingPathComponent(segment).text(), expected) << base << " + " << segment;
  }
}

TEST(Url, PercentDecode) {
  EXPECT_EQ(percentDecode("%41%42c"), "ABc");
  EXPECT_EQ(percentDecode("a+b"), "a+b");
  EXPECT_EQ(percentDecode("%e2%82%AC"), "\xE2\x82\xAC");
  EXPECT_EQ(percentDecode(""), "");
  for (const char* text : {"%", "%4", "%zz", "a%g1", "50%"}) {
    EXPECT_FALSE(percentDecode(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace velqo::platform
