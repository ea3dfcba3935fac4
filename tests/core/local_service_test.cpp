// The loopback reference service is what the end-to-end tests trust: unscripted routes and
// failing handlers must answer like the service, and stopping must not wait for slow replies.

#include "velqo_localservice/local_service.hpp"
#include "support/wait_bound.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/platform_test_support.hpp"

namespace velqo {
namespace {

using localservice::LocalService;
using localservice::Reply;

TEST(LocalServiceTest, UnmatchedRoutesAndFailingHandlersAnswerLikeTheService) {
  LocalService service;
  auto session = platform::HttpSession::create();
  service.route("PUT", "/thing", Reply::json(201, R"({"ok":true})"));
  service.route("GET", "/boom", [](const localservice::RecordedRequest&) -> Reply {
    throw std::runtime_error("handler bug");
  });
  auto unmatched = testing::perform(session, service.baseUrl() + "/thing");  // GET has no route
  ASSERT_TRUE(unmatched.response);
  EXPECT_EQ(unmatched.response->statusCode, 404);
  EXPECT_EQ(unmatched.body, R"({"detail":"not found"})");
  EXPECT_EQ(testing::perform(session, service.baseUrl() + "/boom").response->statusCode, 500);
  EXPECT_EQ(service.requestCount(), 2u);
}

TEST(LocalServiceTest, StoppingCutsADelayedReplyAndTheClientSeesATransportError) {
  auto session = platform::HttpSession::create();
  auto service = std::make_unique<LocalService>();
  Reply slow = Reply::json(200, "{}");
  slow.delay = std::chrono::minutes(10);
  service->route("GET", "/slow", slow);
  testing::Recorder pending;
  session->dataTask(testing::makeRequest(service->baseUrl() + "/slow"), pending.callback(session));
  ASSERT_TRUE(service->waitForRequests(1, testing::kWaitBound));
  service.reset();  // must not wait out the delay
  auto answer = pending.wait();
  EXPECT_FALSE(answer.response.has_value());
  ASSERT_TRUE(answer.error.has_value());
  EXPECT_EQ(answer.error->domain(), platform::domain::url);
}

}  // namespace
}  // namespace velqo
