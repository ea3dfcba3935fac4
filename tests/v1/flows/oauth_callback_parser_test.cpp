#include <gtest/gtest.h>

#include "v1/protocol/test_data.hpp"
#include "velqo/v1/flows/oauth_callback.hpp"

namespace velqo {
namespace {

TEST(OAuthCallbackParserTest, ReadsCodeAndStateOfCallbackURLs) {
  for (const auto& c : testing::testData("oauth_callbacks.json")) {
    const auto& e = c[2];
    const auto expected =
        e.is_null() ? std::nullopt
                    : std::optional(VelqoV1OAuthCallback{e[0].get<std::string>(), e[1].get<std::string>()});
    EXPECT_EQ(VelqoV1OAuthCallbackParser::parse(c[1].get<std::string>()), expected) << c[0];
  }
}

}  // namespace
}  // namespace velqo
