// The loopback reference service is what every end-to-end test trusts; these cases pin the
// parts that tests rely on: its ID tokens really verify against its published keys, and
// unscripted routes answer like the service.

#include "velqo_localservice/local_service.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "velqo/platform/http.hpp"

namespace velqo {
namespace {

using localservice::Curve;
using localservice::LocalService;
using platform::crypto::EcCurve;
using platform::crypto::EcdsaVerifyResult;

struct TokenParts {
  std::string header, claims, signingInput;
  Bytes signature;
};

TokenParts split(const std::string& token) {
  auto first = token.find('.');
  auto second = token.find('.', first + 1);
  TokenParts parts;
  parts.signingInput = token.substr(0, second);
  parts.header = textOf(platform::base64UrlDecode(token.substr(0, first)).value());
  parts.claims = textOf(platform::base64UrlDecode(token.substr(first + 1, second - first - 1)).value());
  parts.signature = platform::base64UrlDecode(token.substr(second + 1)).value();
  return parts;
}

TEST(LocalServiceTest, IdTokensVerifyAgainstThePublishedKeyOfTheirCurveOnly) {
  LocalService service;
  struct Case {
    Curve curve;
    EcCurve ec;
    const char* alg;
    std::size_t signatureSize;
  };
  const std::string claims = R"({"aud":"client-1","sub":"alice"})";
  for (const Case& c :
       {Case{Curve::p256, EcCurve::p256, "ES256", 64}, Case{Curve::p384, EcCurve::p384, "ES384", 96},
        Case{Curve::p521, EcCurve::p521, "ES512", 132}}) {
    SCOPED_TRACE(c.alg);
    auto parts = split(service.issueIdToken(c.curve, claims));
    EXPECT_EQ(parts.header, std::string(R"({"alg":")") + c.alg + R"(","typ":"JWT"})");
    EXPECT_EQ(parts.claims, claims);
    ASSERT_EQ(parts.signature.size(), c.signatureSize);
    const auto message = platform::crypto::view(parts.signingInput);
    EXPECT_EQ(platform::crypto::ecdsaVerifyRaw(service.publicKeyPem(c.curve), c.ec, message,
                                               platform::crypto::view(parts.signature)),
              EcdsaVerifyResult::valid);
    // Another curve's key, or the key of another service instance, must not accept it.
    const Curve other = c.curve == Curve::p256 ? Curve::p384 : Curve::p256;
    EXPECT_NE(platform::crypto::ecdsaVerifyRaw(service.publicKeyPem(other), c.ec, message,
                                               platform::crypto::view(parts.signature)),
              EcdsaVerifyResult::valid);
  }
  LocalService second;
  auto parts = split(service.issueIdToken(Curve::p256, claims));
  EXPECT_EQ(platform::crypto::ecdsaVerifyRaw(second.publicKeyPem(Curve::p256), EcCurve::p256,
                                             platform::crypto::view(parts.signingInput),
                                             platform::crypto::view(parts.signature)),
            EcdsaVerifyResult::invalidSignature);
}

struct Answer {
  std::optional<platform::HttpResponse> response;
  std::string body;
  std::optional<platform::PlatformError> error;
};

std::future<Answer> send(platform::HttpSession& session, std::string url, std::string method = "GET") {
  auto promise = std::make_shared<std::promise<Answer>>();
  platform::HttpRequest request;
  request.url = std::move(url);
  request.method = std::move(method);
  session.dataTask(request,
                   [promise](std::optional<std::string> body, std::optional<platform::HttpResponse> response,
                             std::optional<platform::PlatformError> error) {
                     promise->set_value(Answer{std::move(response), body.value_or(""), std::move(error)});
                   });
  return promise->get_future();
}

TEST(LocalServiceTest, ScriptedRepliesUnmatchedRoutesAndFailingHandlers) {
  LocalService service;
  auto session = platform::HttpSession::create();
  service.route("PUT", "/thing", localservice::Reply::json(201, R"({"ok":true})"));
  service.route("GET", "/boom", [](const localservice::RecordedRequest&) -> localservice::Reply {
    throw std::runtime_error("handler bug");
  });

  auto created = send(*session, service.baseUrl() + "/thing?x=1&y=%20", "PUT").get();
  ASSERT_TRUE(created.response);
  EXPECT_EQ(created.response->statusCode, 201);
  EXPECT_EQ(created.body, R"({"ok":true})");

  auto unmatched = send(*session, service.baseUrl() + "/thing").get();  // GET has no route
  EXPECT_EQ(unmatched.response->statusCode, 404);
  EXPECT_EQ(unmatched.body, R"({"detail":"not found"})");

  EXPECT_EQ(send(*session, service.baseUrl() + "/boom").get().response->statusCode, 500);

  auto log = service.requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].method, "PUT");
  EXPECT_EQ(log[0].path, "/thing");
  EXPECT_EQ(log[0].query, "x=1&y=%20");
  EXPECT_EQ(log[1].method, "GET");
}

TEST(LocalServiceTest, StoppingCutsADelayedReplyAndTheClientSeesATransportError) {
  auto session = platform::HttpSession::create();
  auto service = std::make_unique<LocalService>();
  localservice::Reply slow = localservice::Reply::json(200, "{}");
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

}  // namespace
}  // namespace velqo
