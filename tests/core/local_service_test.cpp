// The loopback reference service is what the end-to-end tests trust: unscripted routes and
// failing handlers must answer like the service, and stopping must not wait for slow replies.

#include "velqo_localservice/local_service.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "velqo/platform/http.hpp"

namespace velqo {
namespace {

using localservice::LocalService;
using localservice::Reply;

struct Answer {
  std::optional<platform::HttpResponse> response;
  std::string body;
  std::optional<platform::PlatformError> error;
};

std::future<Answer> send(platform::HttpSession& session, const std::string& url, std::string method = "GET") {
  auto promise = std::make_shared<std::promise<Answer>>();
  platform::HttpRequest request;
  request.url = url;
  request.method = std::move(method);
  session.dataTask(request,
                   [promise](std::optional<std::string> body, std::optional<platform::HttpResponse> r,
                             std::optional<platform::PlatformError> error) {
                     promise->set_value(Answer{std::move(r), body.value_or(""), std::move(error)});
                   });
  return promise->get_future();
}

TEST(LocalServiceTest, UnmatchedRoutesAndFailingHandlersAnswerLikeTheService) {
  LocalService service;
  auto session = platform::HttpSession::create();
  service.route("PUT", "/thing", Reply::json(201, R"({"ok":true})"));
  service.route("GET", "/boom", [](const localservice::RecordedRequest&) -> Reply {
    throw std::runtime_error("handler bug");
  });
  auto unmatched = send(*session, service.baseUrl() + "/thing").get();  // GET has no route
  ASSERT_TRUE(unmatched.response);
  EXPECT_EQ(unmatched.response->statusCode, 404);
  EXPECT_EQ(unmatched.body, R"({"detail":"not found"})");
  EXPECT_EQ(send(*session, service.baseUrl() + "/boom").get().response->statusCode, 500);
  EXPECT_EQ(service.requestCount(), 2u);
}

TEST(LocalServiceTest, StoppingCutsADelayedReplyAndTheClientSeesATransportError) {
  auto session = platform::HttpSession::create();
  auto service = std::make_unique<LocalService>();
  Reply slow = Reply::json(200, "{}");
  slow.delay = std::chrono::minutes(10);
  service->route("GET", "/slow", slow);
  auto pending = send(*session, service->baseUrl() + "/slow");
  ASSERT_TRUE(service->waitForRequests(1, std::chrono::seconds(10)));
  service.reset();  // must not wait out the delay
  auto answer = pending.get();
  EXPECT_FALSE(answer.response.has_value());
  ASSERT_TRUE(answer.error.has_value());
  EXPECT_EQ(answer.error->domain(), platform::domain::url);
}

TEST(LocalServiceTest, BindsAChosenPortOrSaysWhyNot) {
  auto first = std::make_unique<LocalService>();
  const auto port = static_cast<std::uint16_t>(first->port());
  try {
    LocalService taken(port);
    ADD_FAILURE() << "bound a port in use";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(port)), std::string::npos) << e.what();
  }
  first.reset();
  LocalService chosen(port);
  EXPECT_EQ(chosen.baseUrl(), "http://127.0.0.1:" + std::to_string(port));
}

}  // namespace
}  // namespace velqo
