// One V1 step through the protocol client (start -> select-method prompt: PKCE pair, envelope,
// headers, wire and event lines, decoding, state) against the loopback V1 endpoint, beside the
// bare HTTP round trip of the same bytes through the same session and service. The difference
// is the client's own cost per step.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "velqo/platform/http.hpp"
#include "velqo/v1/protocol/client.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/v1_peer.hpp"

#include "bench_round_trip.hpp"

namespace {

using velqo::VelqoProtocolV1Client;
using velqo::VelqoV1ClientConfig;
using velqo::VelqoV1FlowState;
using velqo::localservice::LocalService;
using velqo::localservice::Reply;
using velqo::localservice::V1Exchange;
using velqo::localservice::V1Peer;
using velqo::platform::HttpSession;

const std::string kPrompt =
    R"({"type":"select_method","phase":"primary","methods":[{"id":"email_otp","label":"Email code"},)"
    R"({"id":"sms_otp","label":"Text message"}],"stepInfo":{"id":"primary","label":"Sign in"}})";

class Waiter {
 public:
  void arm() {
    std::lock_guard lock(mutex_);
    done_ = false;
  }
  void signal() {
    std::lock_guard lock(mutex_);
    done_ = true;
    cv_.notify_one();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return done_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

struct Rig {
  LocalService service;
  V1Peer peer{service};
  std::shared_ptr<HttpSession> session = HttpSession::create();
  Rig() {
    const Reply reply = Reply::json(200, V1Peer::response("3f1c2a9e-7b44-4c1e-9a55-0d2f6e8b1c77", kPrompt));
    peer.setFallback([reply](const V1Exchange&) { return reply; });
  }
};

void BM_V1ClientStartToPromptRoundTrip(benchmark::State& state) {
  Rig rig;
  VelqoV1ClientConfig::Settings settings;
  settings.baseURL = rig.peer.baseURL();
  settings.sdkName = "@velqo/ios";
  settings.sdkVersion = "1.0.0";
  settings.platform = "ios";
  settings.timeoutSeconds = 10;
  auto client =
      VelqoProtocolV1Client::create(VelqoV1ClientConfig::withConfigId("bench-config", settings), rig.session);
  Waiter waiter;
  long failures = 0;
  for (auto _ : state) {
    waiter.arm();
    client->start(velqo::VelqoV1FlowType::signin, "bench.user@example.com", std::nullopt, std::nullopt,
                  std::nullopt, std::nullopt, std::nullopt, [&](const VelqoV1FlowState& s) {
                    if (s.kind() != VelqoV1FlowState::Case::prompt) ++failures;
                    waiter.signal();
                  });
    waiter.wait();
  }
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_V1ClientStartToPromptRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_V1BareSessionRoundTrip(benchmark::State& state) {
  Rig rig;
  velqo::platform::HttpRequest request;
  request.url = rig.peer.baseURL() + "/auth";
  request.method = "POST";
  request.timeoutSeconds = 10;
  request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"},
                     {"X-Config-Id", "bench-config"},      {"X-Velqo-SDK", "@velqo/ios"},
                     {"x-Velqo-iosSdk-Version", "1.0.0"},  {"X-Velqo-Platform", "ios"},
                     {"X-Velqo-Protocol-Version", "2"}};
  request.body =
      R"({"protocolVersion":2,"action":{"type":"start","flowType":"signin","identifier":"bench.user@example.com",)"
      R"("codeChallenge":"E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"}})";
  long failures = 0;
  for (auto _ : state) {
    if (!velqo::bench::bareRoundTrip(*rig.session, request)) ++failures;
  }
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_V1BareSessionRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
