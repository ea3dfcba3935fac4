// Whole V1 sign-ins through VelqoV1SDK against the loopback reference service (in-memory item
// store, updates delivered on the main queue that the benchmark drives), beside the same number
// of bare HTTP round trips through the same shared session and the same loopback service.
//
// - returning sign-in: start (answered by device_challenge) and submit_signature: 2 round trips;
// - first sign-in: start, select_method, submit_code, request_challenge, submit_signature:
//   5 round trips, with the device set up (new credential stored) on the way.
// The counter "roundTrips" is measured per iteration from the service's own request count.
// "hardware:1" keeps secrets behind the hardware key store, "hardware:0" has it report itself
// unavailable, so the device trust falls back to secrets kept in the record.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "velqo/platform/http.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo/v1/flows/velqo_v1_sdk.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/v1_peer.hpp"
#include "velqo_localservice/v1_reference_flow.hpp"

#include "bench_round_trip.hpp"

namespace {

using velqo::VelqoV1FlowUpdate;
using velqo::VelqoV1SDK;
using velqo::VelqoV1UserPrompt;
namespace ls = velqo::localservice;
namespace platform = velqo::platform;

constexpr const char* kDevelopmentCode = "246810";

struct Rig {
  ls::LocalService service;
  ls::V1ReferenceFlow reference{service, [] {
                                  ls::V1ReferenceOptions options;
                                  options.developmentCode = kDevelopmentCode;
                                  return options;
                                }()};
  std::shared_ptr<VelqoV1SDK> sdk;
  bool ended = false;
  bool failed = false;

  /// `hardware` false: the hardware key store reports itself unavailable (fallback secrets).
  explicit Rig(bool hardware) {
    platform::keys::setHardwareKeyMode(hardware ? platform::HardwareKeyMode::available
                                                : platform::HardwareKeyMode::notAvailable);
    platform::setItemStore(platform::InMemoryItemStore::create());
    sdk = VelqoV1SDK::create("bench-config", reference.baseURL());
    // Answers prompts as a user would; runs on the main queue, driven by this thread.
    sdk->flow()->setOnUpdate([this](const VelqoV1FlowUpdate& update) {
      if (const auto* p = update.as<VelqoV1FlowUpdate::Prompt>()) {
        if (p->prompt.as<VelqoV1UserPrompt::SelectMethod>()) {
          sdk->flow()->selectMethod("email_otp");
        } else if (p->prompt.as<VelqoV1UserPrompt::EnterCode>()) {
          sdk->flow()->submitCode(kDevelopmentCode);
        } else {
          failed = ended = true;
        }
      } else if (update.as<VelqoV1FlowUpdate::Completed>()) {
        ended = true;
      } else if (update.as<VelqoV1FlowUpdate::Error>()) {
        failed = ended = true;
      }
    });
  }
  ~Rig() {
    sdk->flow()->setOnUpdate({});
    sdk.reset();
    platform::setItemStore(nullptr);
    platform::keys::setHardwareKeyMode(platform::HardwareKeyMode::available);
  }

  /// One whole sign-in; false when it did not complete.
  bool signIn(const std::string& identifier) {
    ended = failed = false;
    sdk->start(velqo::VelqoV1FlowType::signin, identifier);
    return platform::mainQueue().runUntil([this] { return ended; }, std::chrono::seconds(10)) && !failed;
  }
};

void report(benchmark::State& state, Rig& rig, std::size_t requestsBefore, long failures) {
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["roundTrips"] =
      iterations > 0 ? static_cast<double>(rig.reference.peer().requestCount() - requestsBefore) / iterations
                     : 0;
  state.counters["failures"] = static_cast<double>(failures);
}

void BM_V1SigninReturning(benchmark::State& state) {
  Rig rig(state.range(0) != 0);
  const std::string identifier = "returning.user@example.com";
  long failures = rig.signIn(identifier) ? 0 : 1;  // sets the device up
  const std::size_t before = rig.reference.peer().requestCount();
  for (auto _ : state) {
    if (!rig.signIn(identifier)) ++failures;
  }
  report(state, rig, before, failures);
  state.counters["returning"] = static_cast<double>(rig.reference.returningDeviceCount());
}
BENCHMARK(BM_V1SigninReturning)
    ->ArgName("hardware")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_V1SigninFirst(benchmark::State& state) {
  Rig rig(state.range(0) != 0);
  long failures = 0;
  std::size_t n = 0;
  const std::size_t before = rig.reference.peer().requestCount();
  for (auto _ : state) {
    // A new user each time, so no stored credential is found.
    if (!rig.signIn("first.user." + std::to_string(n++) + "@example.com")) ++failures;
  }
  report(state, rig, before, failures);
}
BENCHMARK(BM_V1SigninFirst)
    ->ArgName("hardware")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The floor: Arg bare round trips of a V1-sized envelope through the same shared session to a
// scripted V1 endpoint of the same kind of loopback service.
void BM_V1SigninBareRoundTrips(benchmark::State& state) {
  ls::LocalService service;
  ls::V1Peer peer(service);
  const ls::Reply reply = ls::Reply::json(
      200, ls::V1Peer::response(
               "3f1c2a9e7b444c1e9a550d2f6e8b1c77",
               R"({"type":"device_challenge","challenge":"q83vEjRWeJq83vEjRWeJq83vEjRWeJq83vEjRWeJq80=",)"
               R"("challengeEncoding":"base64","keyId":"k-1","algorithm":"ECDH P-256+Ed25519",)"
               R"("domain":"bench-config","combinedsalt":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",)"
               R"("responseEncoding":"base64"})"));
  peer.setFallback([reply](const ls::V1Exchange&) { return reply; });
  auto session = platform::HttpSession::shared();

  platform::HttpRequest request;
  request.url = peer.baseURL() + "/auth";
  request.method = "POST";
  request.timeoutSeconds = 15;
  request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"},
                     {"X-Config-Id", "bench-config"},      {"X-Velqo-SDK", "@velqo/ios"},
                     {"X-Velqo-Platform", "ios"},          {"X-Velqo-Protocol-Version", "2"}};
  request.body =
      R"({"protocolVersion":2,"session":"3f1c2a9e7b444c1e9a550d2f6e8b1c77","action":{"type":"submit_signature",)"
      R"("keyId":"k-1","signature":"c2lnbmF0dXJlc2lnbmF0dXJlc2lnbmF0dXJlc2lnbmF0dXJlc2lnbmF0dXJlc2lnbmF0dXJlc2lnbg==",)"
      R"("mapp":"q83vEjRWeJq83vEjRWeJq83vEjRWeJq83vEjRWeJq81iZW5jaC1jb25maWc="}})";

  long failures = 0;
  const auto trips = state.range(0);
  for (auto _ : state) {
    for (std::int64_t i = 0; i < trips; ++i) {
      if (!velqo::bench::bareRoundTrip(*session, request)) ++failures;
    }
  }
  state.counters["roundTrips"] = static_cast<double>(trips);
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_V1SigninBareRoundTrips)->Arg(2)->Arg(5)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
