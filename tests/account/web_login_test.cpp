// Web login by PIN and its approval through VelqoSDK over real HTTP.

#include <nlohmann/json.hpp>

#include "account/facade_test_support.hpp"

namespace velqo::testing {
namespace {

const std::string kAda = "ada@example.com";

class WebLoginTest : public FacadeTest {
 protected:
  RecordingOutcome login(const std::string& pin) {
    auto outcome = std::make_shared<RecordingOutcome>();
    sdk->webLogin(pin, outcome);
    EXPECT_TRUE(outcome->await());
    return *outcome;
  }
  RecordingOutcome approve(const std::string& token) {
    auto outcome = std::make_shared<RecordingOutcome>();
    sdk->webApprove(token, outcome);
    EXPECT_TRUE(outcome->await());
    return *outcome;
  }
  std::optional<std::string> storedDetails() {
    auto data = defaults->data("sessionDetails");
    if (!data) return std::nullopt;
    return std::string(data->begin(), data->end());
  }
};

TEST_F(WebLoginTest, LooksTheSessionUpByPinAndApprovesIt) {
  signIn(kAda);
  const std::string webToken = web.openSession("123456");

  auto found = login("123456");
  EXPECT_EQ(found.result, "success");
  EXPECT_EQ(defaults->string("web_token"), webToken);
  ASSERT_TRUE(storedDetails());
  EXPECT_NE(storedDetails()->find("\n  \"device_id\": \"web-1\""), std::string::npos) << *storedDetails();
  EXPECT_EQ(nlohmann::json::parse(*storedDetails()),
            nlohmann::json::parse(localservice::WebLoginPeer::defaultSessionDetails));

  auto approved = approve(webToken);
  EXPECT_EQ(approved.result, "success");
  ASSERT_EQ(web.approvals().size(), 1u);
  EXPECT_EQ(web.approvals()[0].userid, kAda);
  EXPECT_FALSE(defaults->string("web_token"));
  EXPECT_FALSE(storedDetails());
}

TEST_F(WebLoginTest, FailedStepsKeepThePendingSession) {
  signIn(kAda);
  const std::string webToken = web.openSession("111111");
  ASSERT_EQ(login("111111").result, "success");
  const auto details = storedDetails();

  auto wrongPin = login("999999");
  EXPECT_EQ(wrongPin.result, "INVALID_PIN");
  EXPECT_EQ(wrongPin.message, "The PIN entered is invalid or expired. Please try again.");
  auto unknown = approve("web-unknown");
  EXPECT_EQ(unknown.result, "FAILED_APPROVE");
  EXPECT_EQ(unknown.message, "Failed to approve the web login request.");
  EXPECT_EQ(defaults->string("web_token"), webToken);
  EXPECT_EQ(storedDetails(), details);
}

TEST_F(WebLoginTest, ReadsOddAnswersByStatus) {
  struct Case {
    localservice::Reply reply;
    const char* code;
    const char* message;
  };
  const std::string complete = R"({"data":{"web_token":"t","session_details":{"city":"Lyon"}}})";
  const Case cases[] = {
      {localservice::Reply::json(400, R"({"detail":"expired"})"), "INVALID_PIN",
       "The PIN entered is invalid or expired. Please try again."},
      {localservice::Reply::json(400, "not json"), "NETWORK_ERROR",
       "A network error occurred. Please check your connection and try again."},
      {localservice::Reply::json(201, complete), "UNKNOWN_ERROR", "Web login failed (Status: 201)."},
      {localservice::Reply::json(200, R"({"data":{"web_token":"t"}})"), "UNKNOWN_ERROR",
       "Incomplete response from server after PIN verification."},
      {localservice::Reply::json(200, R"({"api_status":true})"), "UNKNOWN_ERROR",
       "Incomplete response from server after PIN verification."},
      {localservice::Reply::empty(502), "NETWORK_ERROR",
       "A network error occurred. Please check your connection and try again."},
      {localservice::Reply::json(200, R"({"data":{"web_token":"","session_details":{}}})"), "success", ""},
  };
  for (const auto& c : cases) {
    web.enqueueDetailsReply(c.reply);
    auto outcome = login("000000");
    EXPECT_EQ(outcome.result, c.code) << c.reply.body;
    EXPECT_EQ(outcome.message, c.message) << c.reply.body;
    EXPECT_EQ(outcome.calls, 1);
  }
  EXPECT_EQ(defaults->string("web_token"), "");  // the empty token of the last case is stored
  EXPECT_EQ(storedDetails(), "{}");
}

TEST_F(WebLoginTest, ApprovalWithoutASignedInUserFailsBeforeAnyRequest) {
  const std::string webToken = web.openSession("123456");
  struct Probe : WebLoginCallback {
    std::string message;
    void showError(WebLoginErrorCode code, const std::string& text) override {
      message = std::string(code.rawValue()) + ": " + text;
    }
    void onSuccess() override { message = "success"; }
  };
  auto probe = std::make_shared<Probe>();
  sdk->webApprove(webToken, probe);
  EXPECT_EQ(probe->message, "UNKNOWN_ERROR: Cannot identify current user session.");

  signIn(kAda);
  sdk->clearSessionTokens(kAda);
  sdk->webApprove(webToken, probe);
  EXPECT_EQ(probe->message, "UNKNOWN_ERROR: User session invalid or expired. Please log in again.");
  EXPECT_EQ(service.requestCount(), 0u);
}

}  // namespace
}  // namespace velqo::testing
