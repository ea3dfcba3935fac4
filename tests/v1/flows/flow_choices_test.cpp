#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "platform/encoding.hpp"
#include "v1/flows/flow/automatic_choices.hpp"
#include "v1/flows/flow/flow_support.hpp"
#include "v1/protocol/test_data.hpp"

namespace velqo::v1::detail {
namespace {

TEST(FlowChoices, IdentifierKinds) {
  for (const auto& row : velqo::testing::testData("identifier_kinds.json")) {
    const auto kind = row[1] == "email"   ? IdentifierKind::email
                      : row[1] == "phone" ? IdentifierKind::phone
                                          : IdentifierKind::other;
    EXPECT_EQ(identifierKind(row[0].get<std::string>()), kind) << row;
  }
  EXPECT_EQ(identifierKind(std::string(100000, 'a') + "@example.com"), IdentifierKind::email)
      << "no deep recursion";
}

TEST(FlowChoices, SmsNumberDecisions) {
  const VelqoV1ResponseMeta meta{"t", "e"};
  const auto context = [&](std::optional<std::string> id) {
    return VelqoV1PromptContext("s1", meta,
                                id ? std::optional(VelqoV1StepInfo{*id, std::nullopt}) : std::nullopt);
  };
  const std::set<std::string> done = {"s-done"};
  AutomaticChoiceInputs inputs{VelqoV1PrimaryMethodSelectionPolicy::manual, VelqoV1FlowType::signin,
                               std::string("+1 555 010 2030"), &done};
  EXPECT_EQ(autoSubmitSetupSmsPhone(inputs, std::nullopt, "s1", context(std::nullopt)), "+1 555 010 2030")
      << "the policy plays no part";
  EXPECT_EQ(autoSubmitSetupSmsPhone(inputs, std::string("  "), "s1", context(std::nullopt)),
            "+1 555 010 2030");
  EXPECT_EQ(autoSubmitSetupSmsPhone(inputs, std::string("+49"), "s1", context(std::nullopt)), std::nullopt);
  EXPECT_EQ(autoSubmitSetupSmsPhone(inputs, std::nullopt, "s1", context("mfa")), std::nullopt);
  inputs.flowType = VelqoV1FlowType::accountManage;
  EXPECT_EQ(autoSubmitSetupSmsPhone(inputs, std::nullopt, "s1", context(std::nullopt)), std::nullopt);
  inputs.flowType = VelqoV1FlowType::signin;
  inputs.identifier = "bob@example.com";
  EXPECT_EQ(autoSubmitSetupSmsPhone(inputs, std::nullopt, "s1", context(std::nullopt)), std::nullopt);
}

TEST(FlowChoices, FlowDates) {
  const auto millis = [](const char* text) {
    auto date = parseFlowDate(std::string(text));
    return date ? std::optional(
                      std::chrono::duration_cast<std::chrono::milliseconds>(date->time_since_epoch()).count())
                : std::nullopt;
  };
  EXPECT_EQ(millis("2025-01-01T10:00:00.250Z"), 1735725600250);
  EXPECT_EQ(millis("2025-01-01T10:00:00Z"), 1735725600000);
  EXPECT_EQ(millis("2025-01-01T12:00:00+02:00"), 1735725600000);
  EXPECT_EQ(millis("2025-01-01"), std::nullopt);
  EXPECT_EQ(millis(""), std::nullopt);
  EXPECT_EQ(parseFlowDate(std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace velqo::v1::detail
