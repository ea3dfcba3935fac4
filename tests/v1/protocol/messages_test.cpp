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
using v1::detail::userFacingErrorMessage;

struct MessageCase {
  const char* code;
  const char* message;
  std::optional<std::string> phase;
  std::optional<std::string> traceId;
  std::optional<A> action;
  bool retryable;
  std::optional<D> details;
  std::string expected;
};

TEST(V1UserFacingMessage, TableSuffixesAndTraceId) {
  const char* kInternal = "Authentication could not be completed due to an internal error. Retry this step.";
  const std::vector<MessageCase> cases = {
      {"invalid_code",
       "x",
       "primary",
       "t1",
       {},
       false,
       {},
       "The verification code is invalid. Enter the latest code and try again. (traceId: t1)"},
      {"INVALID_CODE",
       "x",
       "MFA",
       "t1",
       {},
       false,
       {},
       "The second-factor code is invalid. Enter the latest code and try again. (traceId: t1)"},
      {"otp_invalid",
       "x",
       std::nullopt,
       "t",
       A::retryInput(),
       true,
       {},
       "The verification code is invalid. Enter the latest code and try again. Retry this step. (traceId: "
       "t)"},
      {"code_mismatch",
       "",
       "mfa",
       {},
       A::resendCode(),
       false,
       {},
       "The second-factor code is invalid. Enter the latest code and try again. You can request a new code. "
       "(traceId: unavailable)"},
      {"code_expired",
       "",
       {},
       "t",
       A::restartFlow(),
       true,
       {},
       "The verification code expired. Request a new code and retry. Restart the authentication flow. "
       "(traceId: t)"},
      {"rate_limited",
       "",
       {},
       "t",
       A::wait(),
       true,
       {},
       "Too many attempts. Please wait and try again. Wait for the retry window and try again. (traceId: t)"},
      {"too_many_attempts",
       "",
       {},
       "t",
       {},
       false,
       D{30, "", {}, {}},
       "Too many attempts. Retry in 30 seconds. (traceId: t)"},
      {"rate_limited",
       "",
       {},
       "t",
       {},
       false,
       D{30, "2030-01-01T00:00:00Z", {}, {}},
       "Too many attempts. Retry after 2030-01-01T00:00:00Z. (traceId: t)"},
      {"rate_limited",
       "",
       {},
       "t",
       {},
       false,
       D{{}, {}, 2, {}},
       "Too many attempts. Please wait and try again. (traceId: t)"},
      {"info_mismatch",
       "",
       {},
       "t",
       A::selectMethod(),
       false,
       {},
       "Device trust could not be completed on this device. Restart sign-in to re-enroll this device. Select "
       "a "
       "different authentication method and retry. (traceId: t)"},
      {"device_crypto_error",
       "Failed to handle setup_device",
       "primary",
       "t",
       {},
       false,
       {},
       "Device trust could not be completed on this device. Restart sign-in to re-enroll this device. "
       "(traceId: t)"},
      {"transport_error",
       "offline",
       {},
       {},
       {},
       false,
       {},
       "Network request failed. Check connectivity and retry. (traceId: unavailable)"},
      {"http_error",
       "HTTP 401",
       {},
       {},
       {},
       false,
       {},
       "Request was unauthorized. Confirm `x-config-id` is valid for this environment. (traceId: "
       "unavailable)"},
      {"http_error",
       "HTTP 403: Unauthorized client",
       {},
       {},
       {},
       false,
       {},
       "Request was unauthorized. Confirm `x-config-id` is valid for this environment. (traceId: "
       "unavailable)"},
      {"http_error",
       "HTTP 404",
       {},
       {},
       {},
       false,
       {},
       "Requested authentication resource was not found for this environment. (traceId: unavailable)"},
      {"http_error",
       "HTTP 500: boom",
       {},
       {},
       {},
       false,
       {},
       "Request failed. Retry, and if it persists contact support. (traceId: unavailable)"},
      {"internal_error",
       "",
       {},
       {},
       A::abort(),
       true,
       {},
       "Authentication could not be completed due to an internal error. Retry this step. Retry this step. "
       "(traceId: unavailable)"},
      {"weird",
       "An Unexpected Error happened",
       {},
       "t",
       {},
       false,
       {},
       std::string(kInternal) + " (traceId: t)"},
      {"weird",
       "  \n\t",
       {},
       "t",
       A::unknown("x"),
       true,
       {},
       "Authentication failed. Retry this step. Retry this step. (traceId: t)"},
      {"weird", "  Keep Me  ", {}, "t", {}, false, {}, "  Keep Me   (traceId: t)"},
      {"weird", "Already has TraceID: abc", {}, "t", {}, false, {}, "Already has TraceID: abc"},
      {"weird", "msg", {}, "   ", {}, false, {}, "msg (traceId: unavailable)"},
      {"weird", "msg", {}, " t 1 ", {}, false, {}, "msg (traceId:  t 1 )"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(userFacingErrorMessage(c.code, c.message, c.phase, c.traceId, c.action, c.retryable, c.details),
              c.expected)
        << c.code << " / " << c.message;
  }
}

TEST(V1UserFacingMessage, HttpErrorDetailAndRawMessage) {
  using v1::detail::extractHttpErrorDetail;
  using v1::detail::httpErrorRawMessage;
  struct DetailCase {
    const char* body;
    std::optional<std::string> expected;
  };
  const std::vector<DetailCase> details = {
      {R"({"detail":"d","message":"m","error":"e"})", "d"},
      {R"({"message":"m","error":"e"})", "m"},
      {R"({"error":"e"})", "e"},
      {R"({"detail":"","message":"m"})", ""},
      {R"({"detail":null,"message":"m"})", "m"},
      {R"({"detail":5,"message":"m"})", std::nullopt},
      {R"({"other":1})", std::nullopt},
      {R"(["detail"])", std::nullopt},
      {"plain text", std::nullopt},
  };
  for (const auto& d : details) EXPECT_EQ(extractHttpErrorDetail(d.body), d.expected) << d.body;

  EXPECT_EQ(httpErrorRawMessage(400, R"({"detail":"","message":"m"})"), "HTTP 400");
  EXPECT_EQ(httpErrorRawMessage(401, R"({"message":"Unauthorized"})"), "HTTP 401: Unauthorized");
  EXPECT_EQ(httpErrorRawMessage(200, "<html>oops</html>"), "HTTP 200: <html>oops</html>");
  EXPECT_EQ(httpErrorRawMessage(502, ""), "HTTP 502");
  EXPECT_EQ(httpErrorRawMessage(502, "\xFF\xFE"), "HTTP 502");
  EXPECT_EQ(httpErrorRawMessage(500, std::string(400, 'x')), "HTTP 500: " + std::string(320, 'x') + "...");
  EXPECT_EQ(httpErrorRawMessage(500, std::string(320, 'x')), "HTTP 500: " + std::string(320, 'x'));
  // Cut by characters, never inside a multi-byte one.
  std::string accented;
  for (int i = 0; i < 330; ++i) accented += "\xC3\xA9";
  std::string expected = "HTTP 500: ";
  for (int i = 0; i < 320; ++i) expected += "\xC3\xA9";
  EXPECT_EQ(httpErrorRawMessage(500, accented), expected + "...");
}

TEST(V1UserFacingMessage, PhaseFollowsStepInfoThenSelectMethodPhase) {
  using v1::detail::phaseForResponse;
  const VelqoV1Prompt select = VelqoV1Prompt::SelectMethod{{}, "MFA "};
  const VelqoV1Prompt blankSelect = VelqoV1Prompt::SelectMethod{{}, "  "};
  const VelqoV1Prompt code = VelqoV1Prompt::EnterCode{};
  const VelqoV1PromptMetadata step{VelqoV1StepInfo{"  Primary ", {}}, {}, {}};
  const VelqoV1PromptMetadata blankStep{VelqoV1StepInfo{" ", {}}, {}, {}};
  EXPECT_EQ(phaseForResponse(code, step), "primary");
  EXPECT_EQ(phaseForResponse(select, step), "primary");
  EXPECT_EQ(phaseForResponse(select, blankStep), "mfa ");
  EXPECT_EQ(phaseForResponse(select, std::nullopt), "mfa ");
  EXPECT_EQ(phaseForResponse(blankSelect, std::nullopt), std::nullopt);
  EXPECT_EQ(phaseForResponse(code, blankStep), std::nullopt);
  EXPECT_EQ(phaseForResponse(code, VelqoV1PromptMetadata{{}, {}, "sms"}), std::nullopt);
}

}  // namespace
}  // namespace velqo
