// User-facing error messages, HTTP error details and the phase a response sets.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "v1/protocol/messages.hpp"

namespace velqo {
namespace {

using A = VelqoV1ErrorAction;
using D = VelqoV1ErrorDetails;

TEST(V1UserFacingMessage, TableSuffixesAndTraceId) {
  const std::string invalid = "The verification code is invalid. Enter the latest code and try again.";
  const std::string secondFactor = "The second-factor code is invalid. Enter the latest code and try again.";
  const std::string internal =
      "Authentication could not be completed due to an internal error. Retry this step.";
  const auto no = std::nullopt;
  struct Row {
    const char* code;
    const char* message;
    std::optional<std::string> phase, traceId;
    std::optional<A> action;
    bool retryable;
    std::optional<D> details;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"INVALID_CODE", "x", "MFA", "t", no, false, no, secondFactor + " (traceId: t)"},
      {"otp_invalid", "x", no, "t", A::retryInput(), true, no, invalid + " Retry this step. (traceId: t)"},
      {"code_mismatch", "", "mfa", no, A::resendCode(), false, no,
       secondFactor + " You can request a new code. (traceId: unavailable)"},
      {"code_expired", "", no, "t", A::restartFlow(), true, no,
       "The verification code expired. Request a new code and retry. Restart the authentication flow. "
       "(traceId: t)"},
      {"rate_limited", "", no, "t", A::wait(), true, no,
       "Too many attempts. Please wait and try again. Wait for the retry window and try again. (traceId: t)"},
      {"too_many_attempts", "", no, "t", no, false, D{30, "", {}, {}},
       "Too many attempts. Retry in 30 seconds. (traceId: t)"},
      {"rate_limited", "", no, "t", no, false, D{30, "2030-01-01T00:00:00Z", {}, {}},
       "Too many attempts. Retry after 2030-01-01T00:00:00Z. (traceId: t)"},
      {"rate_limited", "", no, "t", no, false, D{{}, {}, 2, {}},
       "Too many attempts. Please wait and try again. (traceId: t)"},
      {"info_mismatch", "", no, "t", A::selectMethod(), false, no,
       "Device trust could not be completed on this device. Restart sign-in to re-enroll this device. "
       "Select a different authentication method and retry. (traceId: t)"},
      {"http_error", "HTTP 403: Unauthorized client", no, no, no, false, no,
       "Request was unauthorized. Confirm `x-config-id` is valid for this environment. "
       "(traceId: unavailable)"},
      {"internal_error", "", no, no, A::abort(), true, no,
       internal + " Retry this step. (traceId: unavailable)"},
      {"weird", "An Unexpected Error happened", no, "t", no, false, no, internal + " (traceId: t)"},
      {"weird", "  \n\t", no, "t", A::unknown("x"), true, no,
       "Authentication failed. Retry this step. Retry this step. (traceId: t)"},
      {"weird", "  Keep Me  ", no, "t", no, false, no, "  Keep Me   (traceId: t)"},
      {"weird", "Already has TraceID: abc", no, "t", no, false, no, "Already has TraceID: abc"},
      {"weird", "msg", no, "   ", no, false, no, "msg (traceId: unavailable)"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(v1::detail::userFacingErrorMessage(r.code, r.message, r.phase, r.traceId, r.action, r.retryable,
                                                 r.details),
              r.expected)
        << r.code << " / " << r.message;
  }
}

TEST(V1UserFacingMessage, HttpErrorDetailAndRawMessage) {
  using v1::detail::httpErrorRawMessage;
  struct DetailRow {
    const char* body;
    std::optional<std::string> expected;
  };
  for (const auto& d : std::vector<DetailRow>{{R"({"detail":"d","message":"m","error":"e"})", "d"},
                                              {R"({"message":"m","error":"e"})", "m"},
                                              {R"({"error":"e"})", "e"},
                                              {R"({"detail":"","message":"m"})", ""},
                                              {R"({"detail":null,"message":"m"})", "m"},
                                              {R"({"detail":5,"message":"m"})", std::nullopt},
                                              {R"(["detail"])", std::nullopt},
                                              {"plain text", std::nullopt}}) {
    EXPECT_EQ(v1::detail::extractHttpErrorDetail(d.body), d.expected) << d.body;
  }
  EXPECT_EQ(httpErrorRawMessage(400, R"({"detail":"","message":"m"})"), "HTTP 400");
  EXPECT_EQ(httpErrorRawMessage(401, R"({"message":"Unauthorized"})"), "HTTP 401: Unauthorized");
  EXPECT_EQ(httpErrorRawMessage(200, "<html>oops</html>"), "HTTP 200: <html>oops</html>");
  EXPECT_EQ(httpErrorRawMessage(502, "\xFF\xFE"), "HTTP 502");
  EXPECT_EQ(httpErrorRawMessage(500, std::string(400, 'x')), "HTTP 500: " + std::string(320, 'x') + "...");
  EXPECT_EQ(httpErrorRawMessage(500, std::string(320, 'x')), "HTTP 500: " + std::string(320, 'x'));
  // Cut by characters, never inside a multi-byte one.
  std::string accented, expected = "HTTP 500: ";
  for (int i = 0; i < 330; ++i) accented += "\xC3\xA9";
  for (int i = 0; i < 320; ++i) expected += "\xC3\xA9";
  EXPECT_EQ(httpErrorRawMessage(500, accented), expected + "...");
}

TEST(V1UserFacingMessage, PhaseFollowsStepInfoThenSelectMethodPhase) {
  using v1::detail::phaseForResponse;
  const VelqoV1Prompt select = VelqoV1Prompt::SelectMethod{{}, "MFA "};
  const VelqoV1Prompt code = VelqoV1Prompt::EnterCode{};
  const VelqoV1PromptMetadata step{VelqoV1StepInfo{"  Primary ", {}}, {}, {}};
  const VelqoV1PromptMetadata blankStep{VelqoV1StepInfo{" ", {}}, {}, {}};
  EXPECT_EQ(phaseForResponse(code, step), "primary");
  EXPECT_EQ(phaseForResponse(select, step), "primary");
  EXPECT_EQ(phaseForResponse(select, blankStep), "mfa ");
  EXPECT_EQ(phaseForResponse(VelqoV1Prompt::SelectMethod{{}, "  "}, std::nullopt), std::nullopt);
  EXPECT_EQ(phaseForResponse(code, blankStep), std::nullopt);
}

}  // namespace
}  // namespace velqo
