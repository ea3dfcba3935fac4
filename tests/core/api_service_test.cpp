#include "core/transport/api_service.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/transport/end_points.hpp"
#include "support/test_environment.hpp"
#include "support/wait_bound.hpp"
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
  p.name = in.at("name").get<std::string>();
  if (auto count = in.find("count"); count != in.end() && !count->is_null())
    p.count = count->get<std::int64_t>();
}

using ProbeOutcome = ApiService::Outcome<Probe>;

struct Delivery {
  std::optional<ProbeOutcome> outcome;
  bool onMainQueue = false;
  std::thread::id thread;
};

// Answers every task with neither a response nor an error.
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

  static void awaitDelivery(const std::shared_ptr<Delivery>& d) {
    ASSERT_TRUE(platform::mainQueue().runUntil([&] { return d->outcome.has_value(); }, testing::kWaitBound));
  }

  static ApiService::Completion<Probe> recorder(const std::shared_ptr<Delivery>& d) {
    return [d](ProbeOutcome outcome) {
      d->onMainQueue = platform::mainQueue().isCurrent();
      d->thread = std::this_thread::get_id();
      d->outcome = std::move(outcome);
    };
  }

  // POSTs {"name":"alice","count":3}, or GETs, and waits for the completion.
  std::shared_ptr<Delivery> call(const std::string& method, const std::string& path,
                                 std::optional<std::string> token = std::nullopt) {
    auto d = std::make_shared<Delivery>();
    if (method == "POST") {
      api->post<Probe>(service.baseUrl() + path, Probe{"alice", 3}, token, recorder(d));
    } else {
      api->get<Probe>(service.baseUrl() + path, token, recorder(d));
    }
    awaitDelivery(d);
    return d;
  }

  LocalService service;
  std::shared_ptr<ApiService> api = ApiService::create(kKey);
};

TEST_F(ApiServiceTest, SendsProjectKeyJsonHeadersAndBearerOnlyWithToken) {
  struct Case {
    const char* method;
    const char* path;
    std::optional<std::string> token;
  };
  for (const Case& c :
       {Case{"POST", "/v5/auth-init", std::nullopt}, Case{"GET", "/device/details", "tok-2"}}) {
    service.route(c.method, c.path, Reply::json(200, R"({"name":"ok"})"));
    SCOPED_TRACE(c.method);
    service.clearRequests();
    auto d = call(c.method, c.path, c.token);
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

// Rows: status, body, error domain (null: the record decodes), code, description (empty: not
// compared). Any object the record refuses reads as an error detail, even with a success status;
// a "detail" of the wrong type gives the record's own decoding error (1 key missing, 3 wrong
// type, 4 corrupted).
TEST_F(ApiServiceTest, AnswersDecodeAsRecordThenAsErrorDetail) {
  const auto rows =
      testing::readJsonFile(std::filesystem::path(__FILE__).parent_path() / "data/api_answers.json");
  ASSERT_GT(rows.size(), 10u);
  for (const auto& row : rows) {
    const int status = row[0];
    const std::string body = row[1];
    SCOPED_TRACE(std::to_string(status) + " " + body);
    service.route("GET", "/x", body.empty() ? Reply::empty(status) : Reply::json(status, body));
    auto d = call("GET", "/x");
    EXPECT_TRUE(d->onMainQueue);
    if (row[2].is_null()) {
      ASSERT_TRUE(d->outcome->ok()) << d->outcome->error().what();
      EXPECT_EQ(d->outcome->value().first.name, "n");
      EXPECT_EQ(d->outcome->value().first.count, 7);
      EXPECT_EQ(d->outcome->value().second, status);
      continue;
    }
    ASSERT_FALSE(d->outcome->ok());
    const PlatformError& e = d->outcome->error();
    EXPECT_EQ(e.domain(), row[2].get<std::string>());
    EXPECT_EQ(e.code(), row[3].get<long>());
    if (!row[4].get<std::string>().empty()) {
      EXPECT_EQ(e.localizedDescription(), row[4].get<std::string>());
    }
  }
}

TEST_F(ApiServiceTest, InvalidUrlOrBodyFailsAtOnceOnTheCallingThreadWithoutSending) {
  for (const std::string url : {"not a url", "/v5/auth-init"}) {
    SCOPED_TRACE(url);
    auto d = std::make_shared<Delivery>();
    api->post<Probe>(url, Probe{"x", std::nullopt}, "tok", recorder(d));
    ASSERT_TRUE(d->outcome.has_value()) << "must complete before post returns";
    EXPECT_EQ(d->thread, std::this_thread::get_id());
    EXPECT_EQ(d->outcome->error(), PlatformError("NetworkError", -1, "Invalid URL provided"));
  }
  // A body that cannot be encoded fails the same way.
  auto d = std::make_shared<Delivery>();
  api->post<Probe>(service.baseUrl() + "/x", Probe{"bad \xff utf8", std::nullopt}, std::nullopt, recorder(d));
  ASSERT_TRUE(d->outcome.has_value());
  EXPECT_EQ(d->thread, std::this_thread::get_id());
  EXPECT_EQ(d->outcome->error().domain(), json::encodingDomain);
  EXPECT_EQ(service.requestCount(), 0u);
}

TEST_F(ApiServiceTest, TransportErrorsAndNonHttpAnswersArriveOnTheMainQueue) {
  service.route("POST", "/drop", Reply::drop());
  auto dropped = call("POST", "/drop");
  ASSERT_FALSE(dropped->outcome->ok());
  EXPECT_EQ(dropped->outcome->error().domain(), platform::domain::url);
  EXPECT_TRUE(dropped->onMainQueue);

  auto injected = ApiService::create(kKey, std::make_shared<NoResponseSession>());
  auto d = std::make_shared<Delivery>();
  injected->get<Probe>("https://service.invalid/x", std::nullopt, recorder(d));
  awaitDelivery(d);
  EXPECT_EQ(d->outcome->error(), PlatformError("NetworkError", -2, "Invalid response received"));
  EXPECT_TRUE(d->onMainQueue);
}

TEST(EndPointsTest, EveryBaseIsTheConfiguredUrlWithoutTrailingSlash) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://auth.example.com", "https://auth.example.com"},
      {"https://a.example.com/api//", "https://a.example.com/api"},
      {"", ""}};
  for (const auto& [input, expected] : cases) {
    EndPoints e(input);
    for (const std::string* base :
         {&e.authBase, &e.sessionBase, &e.loginBase, &e.regBase, &e.coreLoginBase}) {
      EXPECT_EQ(*base, expected) << input;
    }
  }
}

}  // namespace
}  // namespace velqo
