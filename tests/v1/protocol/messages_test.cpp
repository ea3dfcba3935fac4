#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "test_data.hpp"
#include "v1/protocol/messages.hpp"

namespace velqo {
namespace {

using A = VelqoV1ErrorAction;
using D = VelqoV1ErrorDetails;

TEST(V1UserFacingMessage, MessagesAndHttpErrorDetails) {
  const auto data = testing::testData("messages.json");
  for (const auto& r : data.at("userFacing")) {
    const auto action = testing::optionalText(r["action"]);
    const std::optional<D> details =
        r["details"].is_null() ? std::nullopt : std::optional(decodeV1JSON<D>(r["details"].dump()));
    EXPECT_EQ(v1::detail::userFacingErrorMessage(
                  r["code"].get<std::string>(), r["message"].get<std::string>(),
                  testing::optionalText(r["phase"]), testing::optionalText(r["traceId"]),
                  action ? std::optional(A::fromProtocolActionType(*action)) : std::nullopt,
                  r["retryable"].get<bool>(), details),
              r["expected"].get<std::string>())
        << r.dump();
  }
  for (const auto& d : data.at("httpDetail")) {
    EXPECT_EQ(v1::detail::extractHttpErrorDetail(d["body"].get<std::string>()),
              testing::optionalText(d["detail"]))
        << d;
  }
  using v1::detail::httpErrorRawMessage;
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
