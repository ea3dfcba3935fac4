// Web login by PIN and its approval through VelqoSDK over real HTTP.

#include <nlohmann/json.hpp>

#include "account/facade_test_support.hpp"

namespace velqo::testing {
namespace {

const std::string kAda = "ada@example.com";

class WebLoginTest : public FacadeTest {
 protected:
  // The outcome of one step: the error's code or "success", and the message.
  CallbackEvent login(const std::string& pin) {
    auto outcome = std::make_shared<RecordingCallback>();
    sdk->webLogin(pin, outcome);
    EXPECT_TRUE(outcome->waitFor(1));
    EXPECT_EQ(outcome->count(), 1u);
    return outcome->last();
  }
  CallbackEvent approve(const std::string& token) {
    auto outcome = std::make_shared<RecordingCallback>();
    sdk->webApprove(token, outcome);
    EXPECT_TRUE(outcome->waitFor(1));
    return outcome->last();
  }
  std::optional<std::string> storedDetails() { return storedText("sessionDetails"); }
};

TEST_F(WebLoginTest, LooksTheSessionUpByPinAndApprovesIt) {
  signIn(kAda);
  const std::string webToken = web.openSession("123456");
  EXPECT_EQ(login("123456").result(), "success");
  EXPECT_EQ(defaults->string("web_token"), webToken);
  const auto details = storedDetails();
  ASSERT_TRUE(details);
  EXPECT_NE(details->find("\n  \"device_id\": \"web-1\""), std::string::npos) << *details;  // pretty-printed
  EXPECT_EQ(nlohmann::json::parse(*details),
            nlohmann::json::parse(localservice::WebLoginPeer::defaultSessionDetails));

  // Failed steps leave the pending session in place.
  EXPECT_EQ(login("999999").result(), "INVALID_PIN");
  auto unknown = approve("web-unknown");
  EXPECT_EQ(unknown.result(), "FAILED_APPROVE");
  EXPECT_EQ(unknown.second, "Failed to approve the web login request.");
  EXPECT_EQ(defaults->string("web_token"), webToken);
  EXPECT_EQ(storedDetails(), details);

  EXPECT_EQ(approve(webToken).result(), "success");
  ASSERT_EQ(web.approvals().size(), 1u);
  EXPECT_EQ(web.approvals()[0].userid, kAda);
  EXPECT_FALSE(defaults->string("web_token"));
  EXPECT_FALSE(storedDetails());
}

TEST_F(WebLoginTest, ReadsOddAnswersByStatus) {
  const char* const network = "A network error occurred. Please check your connection and try again.";
  const char* const incomplete = "Incomplete response from server after PIN verification.";
  const struct {
    localservice::Reply reply;
    const char* code;
    const char* message;
  } cases[] = {
      {localservice::Reply::json(400, R"({"detail":"expired"})"), "INVALID_PIN",
       "The PIN entered is invalid or expired. Please try again."},
      {localservice::Reply::json(400, "not json"), "NETWORK_ERROR", network},
      {localservice::Reply::empty(502), "NETWORK_ERROR", network},
      {localservice::Reply::json(201, R"({"data":{"web_token":"t","session_details":{}}})"), "UNKNOWN_ERROR",
       "Web login failed (Status: 201)."},
      {localservice::Reply::json(200, R"({"data":{"web_token":"t"}})"), "UNKNOWN_ERROR", incomplete},
      {localservice::Reply::json(200, R"({"api_status":true})"), "UNKNOWN_ERROR", incomplete},
      {localservice::Reply::json(200, R"({"data":{"web_token":"","session_details":{}}})"), "success", ""},
  };
  for (const auto& c : cases) {
    web.enqueueDetailsReply(c.reply);
    auto outcome = login("000000");
    EXPECT_EQ(outcome.result(), c.code) << c.reply.body;
    EXPECT_EQ(outcome.second, c.message) << c.reply.body;
  }
  EXPECT_EQ(defaults->string("web_token"), "");  // the empty token of the last case is stored
  EXPECT_EQ(storedDetails(), "{}");
}

TEST_F(WebLoginTest, OnlyStatus400MeansAnInvalidPin) {
  for (int status : {401, 403, 404, 429, 500, 503}) {
    web.enqueueDetailsReply(localservice::Reply::json(status, R"({"detail":"refused"})"));
    auto outcome = login("000000");
    EXPECT_EQ(outcome.result(), "UNKNOWN_ERROR") << status;
    EXPECT_EQ(outcome.second, "Web login failed (Status: " + std::to_string(status) + ").");
  }
}

TEST_F(WebLoginTest, AnApprovalCountsOnlyWithStatus200) {
  signIn(kAda);
  const std::string webToken = web.openSession("123456");
  ASSERT_EQ(login("123456").result(), "success");
  const auto details = storedDetails();
  for (int status : {201, 202, 299}) {
    service.route(
        "POST", "/v4/websession-approve",
        localservice::Reply::json(status, R"({"api_status":true,"message":"Web session approved"})"));
    EXPECT_EQ(approve(webToken).result(), "FAILED_APPROVE") << status;
    EXPECT_EQ(defaults->string("web_token"), webToken) << status;
    EXPECT_EQ(storedDetails(), details) << status;
  }
}

TEST_F(WebLoginTest, ApprovalWithoutASignedInUserFailsBeforeAnyRequest) {
  const std::string webToken = web.openSession("123456");
  auto outcome = std::make_shared<RecordingCallback>();
  sdk->webApprove(webToken, outcome);
  EXPECT_EQ(outcome->last().second, "Cannot identify current user session.");

  signIn(kAda);
  sdk->clearSessionTokens(kAda);
  const auto before = service.requestCount();
  sdk->webApprove(webToken, outcome);
  EXPECT_EQ(outcome->last().result() + ": " + outcome->last().second,
            "UNKNOWN_ERROR: User session invalid or expired. Please log in again.");
  EXPECT_EQ(outcome->count(), 2u);
  EXPECT_EQ(service.requestCount(), before);
}

}  // namespace
}  // namespace velqo::testing
