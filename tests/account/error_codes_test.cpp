// The three account error-code sets: raw texts both ways, positions, V4 sentences, bridging.

#include "velqo/account/error_codes.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <unordered_set>

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
}

TEST(AccountErrorCodes, UnknownTextsGiveNoValue) {
  for (const char* raw : {"network_error", "", "NETWORK_ERROR ", "Network_Error"}) {
    EXPECT_FALSE(AuthV4ErrorCode::fromRawValue(raw)) << raw;
    EXPECT_FALSE(AuthV5ErrorCode::fromRawValue(raw)) << raw;
    EXPECT_FALSE(WebLoginErrorCode::fromRawValue(raw)) << raw;
  }
  EXPECT_EQ(AuthV4ErrorCode::fromRawValue("NETWORK_ERROR"), AuthV4ErrorCode::networkError);
  EXPECT_EQ(AuthV5ErrorCode::fromRawValue("NETWORK_ERROR"), AuthV5ErrorCode::networkError);
  EXPECT_EQ(WebLoginErrorCode::fromRawValue("NETWORK_ERROR"), WebLoginErrorCode::networkError);
  EXPECT_FALSE(AuthV5ErrorCode::fromRawValue("FINGERPRINT_ERROR"));
  EXPECT_FALSE(WebLoginErrorCode::fromRawValue("INVALID_INPUT"));
}

TEST(AccountErrorCodes, V4SentencesAndHashing) {
  const struct {
    AuthV4ErrorCode code;
    const char* sentence;
  } rows[] = {
      {AuthV4ErrorCode::networkError,
       "A network error occurred. Please check your connection and try again."},
      {AuthV4ErrorCode::oauthExchangeFailed, "Unable to finalize sign-in. Please retry."},
      {AuthV4ErrorCode::missingEr1r2ForRegistration,
       "Could not retrieve necessary information to complete registration. Please retry."},
      {AuthV4ErrorCode::fingerprintError,
       "Failed to prepare unique device identifier. Ensure security features are enabled and try again."},
  };
  for (const auto& row : rows) EXPECT_EQ(row.code.userMessage(), row.sentence);

  std::unordered_set<AuthV4ErrorCode> codes{AuthV4ErrorCode::networkError, AuthV4ErrorCode::unknownError,
                                            AuthV4ErrorCode::networkError};
  EXPECT_EQ(codes.size(), 2u);
  EXPECT_NE(AuthV4ErrorCode(AuthV4ErrorCode::networkError), AuthV4ErrorCode::unknownError);
}

}  // namespace
}  // namespace velqo
