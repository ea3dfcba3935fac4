#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>

#include "platform/platform_test_support.hpp"
#include "support/loopback_server.hpp"
#include "velqo_localservice/local_service.hpp"

namespace velqo::platform {
namespace {

using localservice::LocalService;
using localservice::RawReply;
using testing::makeRequest;
using testing::perform;
using velqo::testing::LoopbackServer;

TEST(HttpValueTypes, HeadersAreSetAndFoundCaseInsensitively) {
  HttpRequest request;
  request.setHeader("Content-Type", "text/plain");
  request.setHeader("Accept", "*/*");
  request.headers.emplace_back("ACCEPT", "dup");
  request.setHeader("accept", "x/y");  // replaces the first in place and drops the duplicate
  EXPECT_EQ(request.headers, (HeaderList{{"Content-Type", "text/plain"}, {"accept", "x/y"}}));
  HttpResponse response;
  response.headers = {{"set-cookie", "a"}, {"Set-Cookie", "b"}, {"X-Empty", ""}};
  EXPECT_EQ(response.header("SET-COOKIE"), "a");
  EXPECT_EQ(response.header("x-empty"), "");
  EXPECT_EQ(response.header("missing"), std::nullopt);
}

TEST(PlatformErrorTexts, StatusErrorsCarryTheirMessageOrTheirNumber) {
  for (const OSStatus code : {status::itemNotFound, OSStatus{-12345}}) {
    const PlatformError error = PlatformError::fromStatus(code);
    EXPECT_EQ(std::make_tuple(error.domain(), error.code(), std::string(error.what())),
              std::make_tuple(std::string(domain::osStatus), code, error.localizedDescription()));
    const std::string expected = statusMessage(code).empty() ? std::to_string(code) : statusMessage(code);
    EXPECT_NE(error.localizedDescription().find(expected), std::string::npos);
  }
  EXPECT_EQ(statusMessage(status::itemNotFound), "The specified item could not be found in the keychain.");
  EXPECT_EQ(statusMessage(-12345), "");
}

TEST(HttpSessionWire, RequestsGoOutExactlyAsGivenAndResponsesComeBackWhole) {
  LocalService server;
  server.setRawResponder([](const std::string& request) {
    if (!request.starts_with("GET /r")) return RawReply{LocalService::rawResponse("200 OK", {}, "")};
    return RawReply{
        "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n"
        "HTTP/1.1 201 Created\r\nX-Zeta: z\r\nset-cookie: a=1\r\nSet-Cookie: b=2\r\nX-Folded: one\r\n two\r\n"
        "x-empty:\r\nContent-Length: 2\r\n\r\nok"};
  });
  auto session = HttpSession::create();
  const std::string binary("a\0b\r\n\xff", 6);
  const std::string head = "/v1?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
  const std::tuple<std::string, HeaderList, std::string, std::string> cases[] = {
      {"POST",
       {{"Content-Type", "application/json"}, {"X-Zeta", "1"}, {"x-alpha", "two words"}, {"X-Empty", ""}},
       R"({"k":"v"})",
       "POST " + head +
           "Content-Type: application/json\r\nX-Zeta: 1\r\nx-alpha: two words\r\nX-Empty:\r\n"
           "Content-Length: 9\r\n\r\n{\"k\":\"v\"}"},
      // The caller's Content-Length is ignored.
      {"PUT", {{"Content-Length", "999"}}, binary, "PUT " + head + "Content-Length: 6\r\n\r\n" + binary},
      {"POST", {}, "", "POST " + head + "Content-Length: 0\r\n\r\n"},
      {"GET", {{"Accept", "a/b"}}, "", "GET " + head + "Accept: a/b\r\n\r\n"},
  };
  for (const auto& [method, headers, body, expected] : cases) {
    const auto outcome = perform(session, server.baseUrl() + "/v1?x=1", method, body, headers);
    ASSERT_TRUE(outcome.response) << outcome.error->localizedDescription();
    EXPECT_EQ(server.rawRequests().back(), expected);
  }
  // A 2 MB body goes out in full, without "Expect: 100-continue".
  const std::string big(2 << 20, 'x');
  ASSERT_TRUE(perform(session, server.baseUrl() + "/big", "POST", big, {{"Content-Type", "a/b"}}).response);
  const std::string last = server.rawRequests().back();
  EXPECT_EQ(last.find("Expect"), std::string::npos);
  EXPECT_EQ(last.substr(last.size() - big.size()), big);

  // The final response's status, headers in order (folded lines joined) and URL.
  const auto outcome = perform(session, server.baseUrl() + "/r");
  ASSERT_TRUE(outcome.response);
  EXPECT_EQ(outcome.body, "ok");
  EXPECT_EQ(outcome.response->statusCode, 201);
  EXPECT_EQ(outcome.response->url, server.baseUrl() + "/r");
  EXPECT_EQ(outcome.response->headers, (HeaderList{{"X-Zeta", "z"},
                                                   {"set-cookie", "a=1"},
                                                   {"Set-Cookie", "b=2"},
                                                   {"X-Folded", "one two"},
                                                   {"x-empty", ""},
                                                   {"Content-Length", "2"}}));
}

using HttpSessionAgainstServer = testing::HttpServerTest;

TEST_F(HttpSessionAgainstServer, AnswersAreResponsesOnTheSessionThreadOverOneConnection) {
  auto session = HttpSession::create();
  std::string large(1536 * 1024, '\0');
  std::mt19937 random(7);
  for (auto& c : large) c = static_cast<char>(random());
  for (const std::string& body : {std::string(), large}) {
    const auto outcome = perform(session, server_.url("/echo"), "POST", body);
    ASSERT_TRUE(outcome.response);
    ASSERT_TRUE(outcome.body);  // an empty body is an empty text, not a missing one
    EXPECT_TRUE(*outcome.body == body) << body.size();
  }
  // HTTP error statuses and redirects are responses; the redirect is not followed.
  for (int status : {404, 302, 204}) {
    const std::string url = server_.url("/status/" + std::to_string(status));
    const auto outcome = perform(session, url);
    ASSERT_TRUE(outcome.response) << status;
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(outcome.response->statusCode, status);
    EXPECT_EQ(outcome.response->url, url);
    EXPECT_EQ(outcome.body, status == 204 ? "" : "status " + std::to_string(status));
    EXPECT_TRUE(outcome.onCompletionThread);
  }
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(perform(session, server_.url("/port")).response);
  // Only the session's own completion thread counts as its completion thread.
  auto other = HttpSession::create();
  bool onOther = true;
  testing::Recorder recorder;
  session->dataTask(makeRequest(server_.url("/port")),
                    [&, inner = recorder.callback(session)](auto b, auto r, auto e) {
                      onOther = other->isCompletionThread();
                      inner(std::move(b), std::move(r), std::move(e));
                    });
  EXPECT_TRUE(recorder.wait().onCompletionThread);
  EXPECT_FALSE(onOther);
  EXPECT_FALSE(session->isCompletionThread());
  EXPECT_EQ(HttpSession::shared(), HttpSession::shared()) << "one process-wide session";
  std::lock_guard lock(mutex_);
  EXPECT_EQ(ports_.size(), 1u) << "sequential requests reuse one connection";
}

TEST_F(HttpSessionAgainstServer, TransportFailuresAreUrlErrorsDeliveredOnce) {
  LocalService raw;
  raw.setRawResponder([](const std::string& request) {
    if (request.starts_with("GET /empty")) return RawReply{"", true};
    if (request.starts_with("GET /short"))
      return RawReply{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", true};
    return RawReply{"garbage\r\n\r\n", true};
  });
  const std::string badHeader = "The request could not be sent: a header name or value is not valid.";
  const std::string lost = "The network connection was lost.", badUrl = "The URL is not valid.";
  struct Case {
    std::string url;
    long code;
    std::string description;
    HeaderList headers = {};
    std::string method = "GET";
    double timeout = 10.0;
  };
  const std::vector<Case> cases = {
      {"http://127.0.0.1:1/", urlError::cannotConnectToHost,
       "Could not connect to the server."},  // no listener
      {server_.url("/held"), urlError::timedOut, "The request timed out.", {}, "GET", 0.2},
      {raw.baseUrl() + "/empty", urlError::networkConnectionLost, lost},
      {raw.baseUrl() + "/short", urlError::networkConnectionLost, lost},
      {raw.baseUrl() + "/garbage", urlError::badServerResponse, "The server's response could not be read."},
      {"not a url", urlError::badURL, badUrl},
      {std::string("http://127.0.0.1\0.evil/", 23), urlError::badURL, badUrl},
      {"file:///etc/passwd", urlError::unsupportedURL, "The URL's scheme is not supported."},
      {"https://host.invalid/", urlError::cannotFindHost,
       "A server with the specified hostname could not be found."},
      {raw.baseUrl() + "/injected", urlError::unknown, badHeader, {{"X-Ok", "a\r\nInjected: 1"}}},
      {raw.baseUrl() + "/injected", urlError::unknown, badHeader, {{"Bad Name", "v"}}},
      {raw.baseUrl() + "/injected",
       urlError::unknown,
       "The request could not be sent: the HTTP method is not valid.",
       {},
       "GET /x HTTP/1.1\r\nX:"},
  };
  auto session = HttpSession::create();
  std::vector<testing::Recorder> recorders(cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    session->dataTask(makeRequest(c.url, c.method, {}, c.headers, c.timeout), recorders[i].callback(session));
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].url);
    const auto outcome = recorders[i].wait();
    EXPECT_FALSE(outcome.body || outcome.response);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), domain::url);
    EXPECT_EQ(outcome.error->code(), cases[i].code);
    EXPECT_EQ(outcome.error->localizedDescription(), cases[i].description);
    EXPECT_TRUE(outcome.onCompletionThread);
  }
  // Requests that failed their checks never reached the wire.
  for (const auto& request : raw.rawRequests()) EXPECT_FALSE(request.starts_with("GET /injected")) << request;
  // A later task's completion has run: no failed one was called a second time.
  ASSERT_TRUE(perform(session, server_.url("/port")).response);
  for (const auto& recorder : recorders) EXPECT_EQ(recorder.calls(), 1);
}

// Verification is always on; an extra CA is added to the trusted ones.
TEST(HttpSessionTls, CertificateAndHostAreVerified) {
  // A CA and a server certificate it signed, for 127.0.0.1 ("good") or another name only.
  const auto dir = std::filesystem::path(__FILE__).parent_path() / "data/tls";
  const auto caOf = [&](const char* pki) { return (dir / pki / "ca.pem").string(); };
  auto handler = [](httplib::Server& s) {
    s.Get("/hello",
          [](const httplib::Request&, httplib::Response& res) { res.set_content("hi", "text/plain"); });
  };
  auto tlsServer = [&](const char* pki) {
    return std::make_unique<httplib::SSLServer>((dir / pki / "server.pem").c_str(),
                                                (dir / pki / "server-key.pem").c_str());
  };
  LoopbackServer good(tlsServer("good"), handler, true), misnamed(tlsServer("wrong-name"), handler, true),
      plain(handler);
  auto trusting = HttpSession::create({.caFile = caOf("good")});
  const auto ok = perform(trusting, good.url("/hello"));
  ASSERT_TRUE(ok.response) << ok.error->localizedDescription();
  EXPECT_EQ(ok.body, "hi");

  const std::tuple<std::shared_ptr<HttpSession>, std::string, long> failures[] = {
      {HttpSession::create(), good.url("/hello"), urlError::serverCertificateUntrusted},  // unknown CA
      {HttpSession::create({.caFile = caOf("wrong-name")}), misnamed.url("/hello"),
       urlError::serverCertificateUntrusted},  // name mismatch
      {trusting, "https://127.0.0.1:" + std::to_string(plain.port()) + "/hello",
       urlError::secureConnectionFailed},
  };
  for (const auto& [session, url, code] : failures) {
    const auto outcome = perform(session, url);
    EXPECT_FALSE(outcome.response) << url;
    ASSERT_TRUE(outcome.error) << url;
    EXPECT_EQ(outcome.error->code(), code) << url << ": " << outcome.error->localizedDescription();
  }
  EXPECT_THROW(HttpSession::create({.caFile = (dir / "missing.pem").string()}), std::invalid_argument);
}

}  // namespace
}  // namespace velqo::platform
