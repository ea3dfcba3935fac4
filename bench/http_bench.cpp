// The bare loopback HTTP round trip through one URL session: post a small JSON body and
// wait for the completion, with the connection kept alive between requests. This is the
// floor under every protocol step measured elsewhere.

#include <benchmark/benchmark.h>

#include <string>

#include "support/loopback_server.hpp"
#include "velqo/platform/http.hpp"

#include "bench_round_trip.hpp"

namespace {

using velqo::platform::HttpRequest;
using velqo::platform::HttpSession;

void BM_HttpLoopbackPostRoundTrip(benchmark::State& state) {
  velqo::testing::LoopbackServer server([](httplib::Server& s) {
    s.Post("/v1/auth", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"session":"s-1","prompt":{"type":"poll"}})", "application/json");
    });
  });
  auto session = HttpSession::create();

  HttpRequest request;
  request.url = server.url("/v1/auth");
  request.method = "POST";
  request.timeoutSeconds = 10;
  request.setHeader("Content-Type", "application/json");
  request.setHeader("Accept", "application/json");
  request.setHeader("X-Config-Id", "bench-config");
  request.body =
      R"({"protocolVersion":1,"session":"3f1c2a9e-7b44-4c1e-9a55-0d2f6e8b1c77","action":{"type":"submit_code",)"
      R"("code":"123456"},"client":{"sdk":"velqo-cpp","version":"0.1.0","platform":"linux","locale":"en"}})";

  long failures = 0;
  for (auto _ : state) {
    if (!velqo::bench::bareRoundTrip(*session, request)) ++failures;
  }
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["bodyBytes"] = static_cast<double>(request.body.size());
}
BENCHMARK(BM_HttpLoopbackPostRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
