#include "core/transport/api_service.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/transport/end_points.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo_localservice/local_service.hpp"

namespace velqo {
namespace {

using localservice::LocalService;
using localservice::Reply;
using platform::PlatformError;

// A small record of the kind the transport carries: "name" required, "count" optional.
struct Probe {
  std::string name;
  std::optional<std::int64_t> count;
};

void to_json(json::Value& out, const Probe& p) {
  out = json::Value::object();
  out["name"] = p.name;
  if (p.count) out["count"] = *p.count;
}

void from_json(const json::Value& in, Probe& p) {
  if (!in.is_object()) throw json::DecodeError(json::DecodeFailure::typeMismatch, "expected an object");
  auto name = in.find("name");
  if (name == in.end())
    throw json::DecodeError(json::DecodeFailure::keyNotFound, "missing key").underKey("name");
  if (!name->is_string())
    throw json::DecodeError(json::DecodeFailure::typeMismatch, "not a string").underKey("name");
  p.name = name->get<std::string>();
  auto count = in.find("count");
  if (count != in.end() && !count->is_null()) p.count = count->get<std::int64_t>();
}

using ProbeOutcome = ApiService::Outcome<Probe>;

// What one completion saw.
struct Delivery {
  std::optional<ProbeOutcome> outcome;
  bool onMainQueue = false;
  std::thread::id thread;
};

// A session that answers every task with neither a response nor an error: an answer that is
// not an HTTP response.
class NoResponseSession : public platform::HttpSession {
 public:
  void dataTask(platform::HttpRequest, platform::DataTaskCompletion completion) override {
    std::thread([completion] { completion(std::string("{}"), std::nullopt, std::nullopt); }).detach();
  }
  bool isCompletionThread() const noexcept override { return false; }
};

class ApiServiceTest : public ::testing::Test {
 protected:
  static constexpr const char* kKey = "pk_test_0123456789";

  // Runs the main queue until the completion has run (or 10 s pass).
  static void awaitDelivery(const std::shared_ptr<Delivery>& d) {
    ASSERT_TRUE(
        platform::mainQueue().runUntil([&] { return d->outcome.has_value(); }, std::chrono::seconds(10)));
  }

  static ApiService::Completion<Probe> recorder(const std::shared_ptr<Delivery>& d) {
    return [d](ProbeOutcome outcome) {
      d->onMainQueue = platform::mainQueue().isCurrent();
      d->thread = std::this_thread::get_id();
      d->outcome = std::move(outcome);
    };
  }

  std::shared_ptr<Delivery> post(const std::string& path, const Probe& body,
                                 std::optional<std::string> token) {
    auto d = std::make_shared<Delivery>();
    api.post<Probe>(service.baseUrl() + path, body, token, recorder(d));
    awaitDelivery(d);
    return d;
  }

  std::shared_ptr<Delivery> get(const std::string& path, std::optional<std::string> token) {
    auto d = std::make_shared<Delivery>();
    api.get<Probe>(service.baseUrl() + path, token, recorder(d));
    awaitDelivery(d);
    return d;
  }

  LocalService service;
  ApiService api{kKey};
};

TEST_F(ApiServiceTest, SendsProjectKeyJsonHeadersAndBearerOnlyWithToken) {
  service.route("POST", "/v5/auth-init", Reply::json(200, R"({"name":"ok"})"));
  service.route("GET", "/device/details", Reply::json(200, R"({"name":"ok"})"));

  struct Case {
    const char* method;
    std::optional<std::string> token;
  };
  const std::vector<Case> cases = {
      {"POST", std::nullopt}, {"POST", "tok-1"}, {"GET", std::nullopt}, {"GET", "tok-2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + (c.token ? " with token" : " without token"));
    service.clearRequests();
    auto d = std::string(c.method) == "POST" ? post("/v5/auth-init", Probe{"alice", 3}, c.token)
                                             : get("/device/details", c.token);
    ASSERT_TRUE(d->outcome->ok());
    ASSERT_EQ(service.requestCount(), 1u);
    const auto request = service.requests().front();
    EXPECT_EQ(request.method, c.method);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Accept"), "application/json");
    EXPECT_EQ(request.header(ApiService::apiKeyHeader), kKey);
    EXPECT_EQ(request.headerCount("Accept"), 1u);
    if (c.token) {
      EXPECT_EQ(request.header("Authorization"), "Bearer " + *c.token);
    } else {
      EXPECT_EQ(request.headerCount("Authorization"), 0u);
    }
    EXPECT_EQ(request.body, std::string(c.method) == "POST" ? R"({"name":"alice","count":3})" : "");
  }
}

TEST_F(ApiServiceTest, DecodableBodyIsSuccessWithItsStatusWhateverTheStatus) {
  for (int status : {200, 201, 400, 401, 404, 500}) {
    SCOPED_TRACE(status);
    service.route("POST", "/any", Reply::json(status, R"({"name":"n","count":7,"extra":true})"));
    auto d = post("/any", Probe{"x", std::nullopt}, std::nullopt);
    ASSERT_TRUE(d->outcome->ok()) << d->outcome->error().what();
    EXPECT_EQ(d->outcome->value().first.name, "n");
    EXPECT_EQ(d->outcome->value().first.count, 7);
    EXPECT_EQ(d->outcome->value().second, status);
    EXPECT_TRUE(d->onMainQueue);
  }
}

TEST_F(ApiServiceTest, UndecodableBodiesBecomeApiOrDecodingErrors) {
  struct Case {
    int status;
    const char* body;
    const char* domain;
    long code;
    std::string description;
  };
  const std::vector<Case> cases = {
      {400, R"({"detail":"hindex not found in database"})", "APIError", 400, "hindex not found in database"},
      {200, R"({"detail":"odd but fine"})", "APIError", 200, "odd but fine"},
      {422, R"({})", "APIError", 422, "API Error with status 422"},
      {503, R"({"detail":null,"other":1})", "APIError", 503, "API Error with status 503"},
      // "detail" of the wrong type: the record's own decoding error is delivered.
      {422, R"({"detail":[{"loc":"body"}]})", json::decodingDomain,
       static_cast<long>(json::DecodeFailure::keyNotFound), ""},
      // Any object the record refuses reads as an error detail, even with a success status.
      {200, R"({"name":5})", "APIError", 200, "API Error with status 200"},
      {500, "<html>oops</html>", json::decodingDomain, static_cast<long>(json::DecodeFailure::dataCorrupted),
       ""},
      {200, R"(["name"])", json::decodingDomain, static_cast<long>(json::DecodeFailure::typeMismatch), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    service.route("GET", "/x", Reply::json(c.status, c.body));
    auto d = get("/x", std::nullopt);
    ASSERT_FALSE(d->outcome->ok());
    const PlatformError& e = d->outcome->error();
    EXPECT_EQ(e.domain(), c.domain);
    EXPECT_EQ(e.code(), c.code);
    if (!c.description.empty()) {
      EXPECT_EQ(e.localizedDescription(), c.description);
    }
    EXPECT_FALSE(e.localizedDescription().empty());
    EXPECT_TRUE(d->onMainQueue);
  }
}

TEST_F(ApiServiceTest, EmptyBodyIsNoDataWithStatusNamedOnlyForSuccess) {
  struct Case {
    int status;
    const char* description;
  };
  for (const Case& c : {Case{200, "No data received despite success status 200"},
                        Case{204, "No data received despite success status 204"},
                        Case{299, "No data received despite success status 299"},
                        Case{400, "No data received"}, Case{500, "No data received"}}) {
    SCOPED_TRACE(c.status);
    service.route("POST", "/empty", Reply::empty(c.status));
    auto d = post("/empty", Probe{"x", std::nullopt}, "t");
    ASSERT_FALSE(d->outcome->ok());
    EXPECT_EQ(d->outcome->error(), PlatformError("NetworkError", -3, c.description));
    EXPECT_TRUE(d->onMainQueue);
  }
}

TEST_F(ApiServiceTest, InvalidUrlFailsAtOnceOnTheCallingThreadWithoutSending) {
  for (const std::string url : {"", "not a url", "/v5/auth-init", "http://exa mple.com/"}) {
    SCOPED_TRACE(url);
    auto d = std::make_shared<Delivery>();
    api.post<Probe>(url, Probe{"x", std::nullopt}, "tok", recorder(d));
    ASSERT_TRUE(d->outcome.has_value()) << "must complete before post returns";
    EXPECT_EQ(d->thread, std::this_thread::get_id());
    EXPECT_FALSE(d->onMainQueue);
    EXPECT_EQ(d->outcome->error(), PlatformError("NetworkError", -1, "Invalid URL provided"));

    auto g = std::make_shared<Delivery>();
    api.get<Probe>(url, std::nullopt, recorder(g));
    ASSERT_TRUE(g->outcome.has_value());
    EXPECT_EQ(g->outcome->error().code(), -1);
  }
  EXPECT_EQ(service.requestCount(), 0u);
}

TEST_F(ApiServiceTest, UnencodableBodyFailsAtOnceWithoutSending) {
  auto d = std::make_shared<Delivery>();
  api.post<Probe>(service.baseUrl() + "/x", Probe{std::string("bad \xff utf8"), std::nullopt}, std::nullopt,
                  recorder(d));
  ASSERT_TRUE(d->outcome.has_value());
  EXPECT_EQ(d->thread, std::this_thread::get_id());
  EXPECT_EQ(d->outcome->error().domain(), json::encodingDomain);
  EXPECT_EQ(service.requestCount(), 0u);
}

TEST_F(ApiServiceTest, TransportErrorsArriveOnTheMainQueue) {
  service.route("POST", "/drop", Reply::drop());
  auto dropped = post("/drop", Probe{"x", std::nullopt}, std::nullopt);
  ASSERT_FALSE(dropped->outcome->ok());
  EXPECT_EQ(dropped->outcome->error().domain(), platform::domain::url);
  EXPECT_TRUE(dropped->onMainQueue);

  // A port nobody listens on: take one from a service that has stopped.
  std::string closedBase;
  {
    LocalService gone;
    closedBase = gone.baseUrl();
  }
  auto d = std::make_shared<Delivery>();
  api.get<Probe>(closedBase + "/x", std::nullopt, recorder(d));
  awaitDelivery(d);
  ASSERT_FALSE(d->outcome->ok());
  EXPECT_EQ(d->outcome->error().domain(), platform::domain::url);
  EXPECT_TRUE(d->onMainQueue);
}

TEST_F(ApiServiceTest, AnswerWithoutHttpResponseIsInvalidResponse) {
  ApiService injected(kKey, std::make_shared<NoResponseSession>());
  auto d = std::make_shared<Delivery>();
  injected.get<Probe>("https://service.invalid/x", std::nullopt, recorder(d));
  awaitDelivery(d);
  EXPECT_EQ(d->outcome->error(), PlatformError("NetworkError", -2, "Invalid response received"));
  EXPECT_TRUE(d->onMainQueue);
}

TEST(EndPointsTest, EveryBaseIsTheConfiguredUrlWithoutTrailingSlash) {
  struct Case {
    const char* input;
    const char* base;
  };
  for (const Case& c :
       {Case{"https://auth.example.com", "https://auth.example.com"},
        Case{"https://auth.example.com/", "https://auth.example.com"},
        Case{"https://auth.example.com/api//", "https://auth.example.com/api"}, Case{"", ""}}) {
    SCOPED_TRACE(c.input);
    EndPoints e(c.input);
    for (const std::string* base :
         {&e.authBase, &e.sessionBase, &e.loginBase, &e.regBase, &e.coreLoginBase}) {
      EXPECT_EQ(*base, c.base);
    }
  }
}

}  // namespace
}  // namespace velqo
