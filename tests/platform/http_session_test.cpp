#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/http_test_support.hpp"
#include "support/loopback_server.hpp"
#include "support/test_certificates.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/platform/http.hpp"

namespace velqo::platform {
namespace {

using testing::makeRequest;
using testing::perform;
using velqo::testing::Gate;
using velqo::testing::LoopbackServer;
using velqo::testing::RawHttpServer;
using velqo::testing::RefusingPort;

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (auto pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size())) {
    text.replace(pos, from.size(), to);
  }
  return text;
}

// ---------------------------------------------------------------------------------------
// Value types and error texts.

TEST(HttpValueTypes, SetHeaderReplacesCaseInsensitivelyInPlaceAndLookupIgnoresCase) {
  HttpRequest request;
  request.setHeader("Content-Type", "text/plain");
  request.setHeader("Accept", "*/*");
  request.headers.emplace_back("ACCEPT", "dup");
  request.setHeader("accept", "x/y");  // replaces the first in place and drops the duplicate
  request.setHeader("content-type", "application/json");
  EXPECT_EQ(request.headers, (HeaderList{{"content-type", "application/json"}, {"accept", "x/y"}}));
  request.setHeader("Accept", "z");
  EXPECT_EQ(request.headers, (HeaderList{{"content-type", "application/json"}, {"Accept", "z"}}));

  HttpResponse response;
  response.headers = {{"set-cookie", "a"}, {"Set-Cookie", "b"}, {"X-Empty", ""}};
  EXPECT_EQ(response.header("SET-COOKIE"), "a");
  EXPECT_EQ(response.header("x-empty"), "");
  EXPECT_EQ(response.header("missing"), std::nullopt);
}

TEST(PlatformErrorTexts, StatusMessagesAndStatusErrors) {
  const std::vector<std::pair<OSStatus, std::string>> cases = {
      {status::success, "No error."},
      {status::unimplemented, "Function or operation not implemented."},
      {status::badParameter, "One or more parameters passed to a function were not valid."},
      {status::notAvailable, "No trust results are available."},
      {status::duplicateItem, "The specified item already exists in the keychain."},
      {status::itemNotFound, "The specified item could not be found in the keychain."},
      {-12345, ""},
      {1, ""},
  };
  for (const auto& [code, message] : cases) {
    SCOPED_TRACE(code);
    EXPECT_EQ(statusMessage(code), message);
    const PlatformError error = PlatformError::fromStatus(code);
    EXPECT_EQ(error.domain(), domain::osStatus);
    EXPECT_EQ(error.code(), code);
    if (!message.empty()) {
      EXPECT_EQ(error.localizedDescription(), message);
      EXPECT_EQ(std::string(error.what()), message);
    } else {
      EXPECT_NE(error.localizedDescription().find(std::to_string(code)), std::string::npos);
    }
  }
  EXPECT_EQ(PlatformError("D", 3, "x"), PlatformError("D", 3, "x"));
  EXPECT_FALSE(PlatformError("D", 3, "x") == PlatformError("D", 4, "x"));
}

// ---------------------------------------------------------------------------------------
// What goes over the wire.

TEST(HttpSessionWire, RequestsGoOutExactlyAsGiven) {
  RawHttpServer server(
      [](const std::string&) { return RawHttpServer::Reply{RawHttpServer::response("200 OK", {}, "")}; });
  auto session = HttpSession::create();
  const std::string binary("a\0b\r\n\xff", 6);
  struct Case {
    std::string method;
    HeaderList headers;
    std::string body;
    std::string expected;  // PORT stands for the server's port
  };
  const std::vector<Case> cases = {
      {"POST",
       {{"Content-Type", "application/json"}, {"X-Zeta", "1"}, {"x-alpha", "two words"}, {"X-Empty", ""}},
       R"({"k":"v"})",
       "POST /v1/auth?x=1 HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nContent-Type: application/json\r\nX-Zeta: 1\r\n"
       "x-alpha: two words\r\nX-Empty:\r\nContent-Length: 9\r\n\r\n{\"k\":\"v\"}"},
      // Caller's own Accept is kept; Content-Length is the session's.
      {"PUT",
       {{"Accept", "application/json"}, {"Content-Length", "999"}},
       binary,
       "PUT /v1/auth?x=1 HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nAccept: application/json\r\nContent-Length: "
       "6\r\n\r\n" +
           binary},
      {"POST", {}, "", "POST /v1/auth?x=1 HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nContent-Length: 0\r\n\r\n"},
      {"GET",
       {{"Authorization", "Bearer t"}},
       "",
       "GET /v1/auth?x=1 HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nAuthorization: Bearer t\r\n\r\n"},
      {"DELETE", {}, "", "DELETE /v1/auth?x=1 HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    const auto outcome =
        perform(session, makeRequest(server.url("/v1/auth?x=1"), c.method, c.body, c.headers));
    ASSERT_TRUE(outcome.response) << outcome.error->localizedDescription();
    ASSERT_FALSE(server.requests().empty());
    EXPECT_EQ(server.requests().back(), replaceAll(c.expected, "PORT", std::to_string(server.port())));
  }

  // A 2 MB body goes out in full, without "Expect: 100-continue".
  std::string big(2 << 20, 'x');
  ASSERT_TRUE(
      perform(session, makeRequest(server.url("/big"), "POST", big, {{"Content-Type", "a/b"}})).response);
  const std::string last = server.requests().back();
  EXPECT_EQ(last.find("Expect"), std::string::npos);
  EXPECT_EQ(last.substr(last.size() - big.size()), big);
}

TEST(HttpSessionWire, ResponseCarriesStatusFinalHeadersInOrderAndUrl) {
  RawHttpServer server([](const std::string&) {
    return RawHttpServer::Reply{
        "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n"
        "HTTP/1.1 201 Created\r\nX-Zeta: z\r\nset-cookie: a=1\r\nSet-Cookie: b=2\r\nX-Folded: one\r\n two\r\n"
        "x-empty:\r\nContent-Length: 2\r\n\r\nok"};
  });
  auto session = HttpSession::create();
  const auto outcome = perform(session, makeRequest(server.url("/r"), "POST", "{}"));
  ASSERT_TRUE(outcome.response);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.body, "ok");
  EXPECT_EQ(outcome.response->statusCode, 201);
  EXPECT_EQ(outcome.response->url, server.url("/r"));
  EXPECT_EQ(outcome.response->headers, (HeaderList{{"X-Zeta", "z"},
                                                   {"set-cookie", "a=1"},
                                                   {"Set-Cookie", "b=2"},
                                                   {"X-Folded", "one two"},
                                                   {"x-empty", ""},
                                                   {"Content-Length", "2"}}));
}

// ---------------------------------------------------------------------------------------
// Answers of a real server.

class HttpSessionAgainstServer : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<LoopbackServer>([this](httplib::Server& s) {
      s.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.body, "application/octet-stream");
      });
      s.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        res.status = std::stoi(req.matches[1]);
        if (res.status == 302) res.set_header("Location", "/echo");
        if (res.status != 204) res.set_content("status " + std::string(req.matches[1]), "text/plain");
      });
      s.Get("/port", [this](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        ports_.insert(req.remote_port);
        res.set_content("{}", "application/json");
      });
      s.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
        slowGate_.wait(std::chrono::seconds(10));
        res.set_content("late", "text/plain");
      });
    });
  }
  void TearDown() override {
    slowGate_.open();
    server_.reset();
  }

  std::unique_ptr<LoopbackServer> server_;
  Gate slowGate_;
  std::mutex mutex_;
  std::set<int> ports_;
};

TEST_F(HttpSessionAgainstServer, BodiesRoundTripByteForByte) {
  auto session = HttpSession::create();
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<char>(i));
  std::string large(1536 * 1024, '\0');
  std::mt19937 random(7);
  for (auto& c : large) c = static_cast<char>(random());
  for (const std::string& body : {std::string(), allBytes, large}) {
    SCOPED_TRACE(body.size());
    const auto outcome = perform(session, makeRequest(server_->url("/echo"), "POST", body));
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->statusCode, 200);
    ASSERT_TRUE(outcome.body);  // an empty body is an empty text, not a missing one
    EXPECT_TRUE(*outcome.body == body);
  }
}

TEST_F(HttpSessionAgainstServer, HttpErrorStatusesAndRedirectsAreResponses) {
  auto session = HttpSession::create();
  for (int status : {404, 500, 302, 204}) {
    SCOPED_TRACE(status);
    const std::string url = server_->url("/status/" + std::to_string(status));
    const auto outcome = perform(session, makeRequest(url));
    ASSERT_TRUE(outcome.response);
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(outcome.response->statusCode, status);
    EXPECT_EQ(outcome.response->url, url);  // the redirect is not followed
    EXPECT_EQ(outcome.body, status == 204 ? "" : "status " + std::to_string(status));
  }
}

TEST_F(HttpSessionAgainstServer, SequentialRequestsReuseOneConnection) {
  auto session = HttpSession::create();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(perform(session, makeRequest(server_->url("/port"))).response);
  std::lock_guard lock(mutex_);
  EXPECT_EQ(ports_.size(), 1u);
}

TEST_F(HttpSessionAgainstServer, CompletionRunsOnTheSessionsOwnThread) {
  auto session = HttpSession::create();
  auto other = HttpSession::create();
  EXPECT_FALSE(session->isCompletionThread());
  bool onOther = true;
  testing::Recorder recorder;
  session->dataTask(makeRequest(server_->url("/port")),
                    [&, inner = recorder.callback(session)](auto b, auto r, auto e) {
                      onOther = other->isCompletionThread();
                      inner(std::move(b), std::move(r), std::move(e));
                    });
  EXPECT_TRUE(recorder.wait().onCompletionThread);
  EXPECT_FALSE(onOther);
  EXPECT_FALSE(session->isCompletionThread());
}

TEST_F(HttpSessionAgainstServer, TransportFailuresAreUrlErrorsDeliveredOnce) {
  RefusingPort refusing;
  RawHttpServer raw([](const std::string& request) {
    if (request.starts_with("GET /empty")) return RawHttpServer::Reply{"", true};
    if (request.starts_with("GET /short")) {
      return RawHttpServer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", true};
    }
    return RawHttpServer::Reply{"garbage\r\n\r\n", true};
  });
  struct Case {
    std::string url;
    long code;
    std::string description;
    HeaderList headers = {};
    std::string method = "GET";
    double timeout = 10.0;
  };
  const std::vector<Case> cases = {
      {"http://127.0.0.1:" + std::to_string(refusing.port()) + "/", urlError::cannotConnectToHost,
       "Could not connect to the server."},
      {server_->url("/slow"), urlError::timedOut, "The request timed out.", {}, "GET", 0.2},
      {raw.url("/empty"), urlError::networkConnectionLost, "The network connection was lost."},
      {raw.url("/short"), urlError::networkConnectionLost, "The network connection was lost."},
      {raw.url("/garbage"), urlError::badServerResponse, "The server's response could not be read."},
      {"not a url", urlError::badURL, "The URL is not valid."},
      {"http://", urlError::badURL, "The URL is not valid."},
      {std::string("http://127.0.0.1\0.evil/", 23), urlError::badURL, "The URL is not valid."},
      {"ftp://127.0.0.1/file", urlError::unsupportedURL, "The URL's scheme is not supported."},
      {"file:///etc/passwd", urlError::unsupportedURL, "The URL's scheme is not supported."},
      {"http://host.invalid/", urlError::cannotFindHost,
       "A server with the specified hostname could not be found."},
      {raw.url("/injected"),
       urlError::unknown,
       "The request could not be sent: a header name or value is not valid.",
       {{"X-Ok", "a\r\nInjected: 1"}}},
      {raw.url("/injected"),
       urlError::unknown,
       "The request could not be sent: a header name or value is not valid.",
       {{"Bad Name", "v"}}},
      {raw.url("/injected"),
       urlError::unknown,
       "The request could not be sent: the HTTP method is not valid.",
       {},
       "GET /x HTTP/1.1\r\nX:"},
  };
  auto session = HttpSession::create();
  std::vector<std::unique_ptr<testing::Recorder>> recorders;
  for (const auto& c : cases) {
    recorders.push_back(std::make_unique<testing::Recorder>());
    session->dataTask(makeRequest(c.url, c.method, {}, c.headers, c.timeout),
                      recorders.back()->callback(session));
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].url);
    const auto outcome = recorders[i]->wait();
    EXPECT_FALSE(outcome.body);
    EXPECT_FALSE(outcome.response);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), domain::url);
    EXPECT_EQ(outcome.error->code(), cases[i].code);
    EXPECT_EQ(outcome.error->localizedDescription(), cases[i].description);
    EXPECT_TRUE(outcome.onCompletionThread);
  }
  // Requests that failed their checks never reached the wire.
  for (const auto& request : raw.requests()) EXPECT_FALSE(request.starts_with("GET /injected")) << request;
  // A later task's completion has run: no failed one was called a second time.
  ASSERT_TRUE(perform(session, makeRequest(server_->url("/port"))).response);
  for (const auto& recorder : recorders) EXPECT_EQ(recorder->calls(), 1);
  slowGate_.open();
}

// ---------------------------------------------------------------------------------------
// TLS: verification is always on; an extra CA is added to the trusted ones.

TEST(HttpSessionTls, CertificateAndHostAreVerified) {
  const auto dir = velqo::testing::makeTempDirectory("tls");
  const auto pki = velqo::testing::makeTestPki(dir / "good");
  const auto wrongName = velqo::testing::makeTestPki(dir / "wrong-name", {"DNS:other.invalid"});
  auto handler = [](httplib::Server& s) {
    s.Get("/hello",
          [](const httplib::Request&, httplib::Response& res) { res.set_content("hi", "text/plain"); });
  };
  LoopbackServer good(std::make_unique<httplib::SSLServer>(pki.certFile.c_str(), pki.keyFile.c_str()),
                      handler, true);
  LoopbackServer misnamed(
      std::make_unique<httplib::SSLServer>(wrongName.certFile.c_str(), wrongName.keyFile.c_str()), handler,
      true);
  LoopbackServer plain(handler);

  auto trusting = HttpSession::create({.caFile = pki.caFile.string()});
  auto trustingOther = HttpSession::create({.caFile = wrongName.caFile.string()});
  auto system = HttpSession::create();

  const auto ok = perform(trusting, makeRequest(good.url("/hello")));
  ASSERT_TRUE(ok.response) << ok.error->localizedDescription();
  EXPECT_EQ(ok.body, "hi");

  struct Case {
    std::shared_ptr<HttpSession> session;
    std::string url;
    long code;
  };
  const std::vector<Case> failures = {
      {system, good.url("/hello"), urlError::serverCertificateUntrusted},             // unknown CA
      {trustingOther, misnamed.url("/hello"), urlError::serverCertificateUntrusted},  // name mismatch
      {trusting, "https://127.0.0.1:" + std::to_string(plain.port()) + "/hello",
       urlError::secureConnectionFailed},
  };
  for (const auto& c : failures) {
    SCOPED_TRACE(c.url);
    const auto outcome = perform(c.session, makeRequest(c.url));
    EXPECT_FALSE(outcome.response);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), c.code) << outcome.error->localizedDescription();
  }
  EXPECT_THROW(HttpSession::create({.caFile = (dir / "missing.pem").string()}), std::invalid_argument);
}

}  // namespace
}  // namespace velqo::platform
