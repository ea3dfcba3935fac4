// The account transport over loopback: one JSON POST through ApiService (encode, headers,
// session, decode, hop to the main queue) against the reference service, beside the bare
// data task to the same service, and record decoding on its own.

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "api/json_support.hpp"
#include "api/models/device_records.hpp"
#include "api/models/v5_records.hpp"
#include "core/transport/api_service.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo_localservice/local_service.hpp"

#include "bench_round_trip.hpp"

namespace {

using velqo::localservice::LocalService;
using velqo::localservice::Reply;

const char* kAnswer = R"({"device_token":"dt-1","otp":"sent","r2":"c2FsdA==","challenge":"Y2hhbGxlbmdl"})";

velqo::AuthInitV5Request sampleRequest() {
  velqo::AuthInitV5Request request;
  request.userid = "alice@example.com";
  request.device_info = {
      "mobile_v1", std::string(64, 'a'), {"com.velqo.bench", "arm64", "iPhone15,2", "17.4"}};
  request.hindex = std::string(44, 'h');
  request.sk2 = std::string(44, 's');
  return request;
}

void BM_ApiServicePostRoundTrip(benchmark::State& state) {
  LocalService service;
  service.route("POST", "/v5/auth-init", Reply::json(200, kAnswer));
  auto api = velqo::ApiService::create("pk_bench", velqo::platform::HttpSession::create());
  const auto request = sampleRequest();
  const std::string url = service.baseUrl() + "/v5/auth-init";
  long failures = 0;
  for (auto _ : state) {
    bool done = false;
    api->post<velqo::AuthInitV5Response>(url, request, std::nullopt, [&](auto outcome) {
      if (!outcome.ok()) ++failures;
      done = true;
    });
    velqo::platform::mainQueue().runUntil([&] { return done; }, std::chrono::seconds(10));
  }
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_ApiServicePostRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_LocalServiceBareRoundTrip(benchmark::State& state) {
  LocalService service;
  service.route("POST", "/v5/auth-init", Reply::json(200, kAnswer));
  auto session = velqo::platform::HttpSession::create();
  velqo::platform::HttpRequest request;
  request.url = service.baseUrl() + "/v5/auth-init";
  request.method = "POST";
  request.headers = {{"Content-Type", "application/json"}};
  request.body = velqo::encodeRecord(sampleRequest()).value();
  long failures = 0;
  for (auto _ : state) {
    if (!velqo::bench::bareRoundTrip(*session, request, /*requireBody=*/false)) ++failures;
  }
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_LocalServiceBareRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_DecodeDeviceList(benchmark::State& state) {
  std::string text = R"({"api_status":true,"message":"ok","data":[)";
  for (int i = 0; i < 20; ++i) {
    if (i > 0) text += ",";
    text += R"({"id":"dev-)" + std::to_string(i) +
            R"(","platform":"ios","browser_name":"app","model":"iPhone15,2","os_version":"17.4",)"
            R"("login_time":"2024-05-01T10:00:00Z"})";
  }
  text += "]}";
  for (auto _ : state) {
    auto record = velqo::decodeRecord<velqo::GetDeviceDetailsResponse>(text);
    benchmark::DoNotOptimize(record);
  }
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_DecodeDeviceList)->Unit(benchmark::kMicrosecond);

}  // namespace
