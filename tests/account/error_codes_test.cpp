// The three account error-code sets: raw texts both ways, positions, V4 sentences, bridging.

#include "velqo/account/error_codes.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

namespace velqo {
namespace {

template <class Code>
void expectRawTextsRoundTrip() {
  std::set<std::string> seen;
  for (int i = 0; i < Code::caseCount; ++i) {
    const Code code(static_cast<typename Code::Value>(i));
    const std::string raw(code.rawValue());
    EXPECT_TRUE(seen.insert(raw).second) << "duplicate raw text " << raw;
    ASSERT_TRUE(Code::fromRawValue(raw).has_value()) << raw;
    EXPECT_EQ(Code::fromRawValue(raw)->value(), i) << raw;
    // Exact text only: no case folding, no trimming.
    std::string lower = raw;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_FALSE(Code::fromRawValue(lower)) << lower;
    EXPECT_FALSE(Code::fromRawValue(raw + " ")) << raw;
    const auto error = code.toError();
    EXPECT_EQ(error.domain(), Code::errorDomain);
    EXPECT_EQ(error.code(), i);
  }
}

TEST(AccountErrorCodes, RawTextsRoundTripAndBridgeWithTheirPosition) {
  expectRawTextsRoundTrip<AuthV4ErrorCode>();
  expectRawTextsRoundTrip<AuthV5ErrorCode>();
  expectRawTextsRoundTrip<WebLoginErrorCode>();

  EXPECT_EQ(AuthV4ErrorCode(AuthV4ErrorCode::fingerprintError).toError().code(), 17);
  EXPECT_EQ(AuthV4ErrorCode(AuthV4ErrorCode::fingerprintError).rawValue(), "FINGERPRINT_ERROR");
  EXPECT_EQ(AuthV5ErrorCode(AuthV5ErrorCode::oauthTokenVerificationFailed).toError().code(), 14);
  EXPECT_EQ(WebLoginErrorCode(WebLoginErrorCode::networkError).toError().code(), 3);
  EXPECT_EQ(std::string(AuthV5ErrorCode::errorDomain), "VelqoFramework.AuthV5ErrorCode");
  // Each set reads its own texts only.
  EXPECT_FALSE(AuthV4ErrorCode::fromRawValue(""));
  EXPECT_FALSE(AuthV5ErrorCode::fromRawValue("FINGERPRINT_ERROR"));
  EXPECT_FALSE(WebLoginErrorCode::fromRawValue("INVALID_INPUT"));
}

TEST(AccountErrorCodes, EveryV4CaseHasItsOwnSentence) {
  std::set<std::string> sentences;
  for (int i = 0; i < AuthV4ErrorCode::caseCount; ++i) {
    const std::string sentence(AuthV4ErrorCode(static_cast<AuthV4ErrorCode::Value>(i)).userMessage());
    EXPECT_FALSE(sentence.empty()) << i;
    EXPECT_TRUE(sentences.insert(sentence).second) << "shared sentence " << sentence;
  }
  EXPECT_EQ(AuthV4ErrorCode(AuthV4ErrorCode::oauthExchangeFailed).userMessage(),
            "Unable to finalize sign-in. Please retry.");
  EXPECT_EQ(AuthV4ErrorCode::caseCount, 18);
  EXPECT_EQ(AuthV5ErrorCode::caseCount, 15);
  EXPECT_EQ(WebLoginErrorCode::caseCount, 4);
}

}  // namespace
}  // namespace velqo
