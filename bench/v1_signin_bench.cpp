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
//
// Counter "clientCpuUs": the process's CPU time per sign-in minus what the service's handlers
// used, i.e. the client's own work plus the HTTP serving both sides share with the floor.
// BM_V1SigninFloor gives the fair floor in the same unit: the bare round trips of that
// sign-in through the same shared session to a peer that does no work, plus the client's own
// cryptography of that sign-in (the primitives and nothing around them). BM_V1ConcurrentReturning
// runs 1,000 returning flows at once and reports flows per second and the library's threads.

#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo/v1/flows/velqo_v1_sdk.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/v1_peer.hpp"
#include "velqo_localservice/v1_reference_flow.hpp"

#include "bench_environment.hpp"
#include "bench_round_trip.hpp"

namespace {

using velqo::Bytes;
using velqo::VelqoV1FlowUpdate;
using velqo::VelqoV1SDK;
using velqo::VelqoV1UserPrompt;
namespace ls = velqo::localservice;
namespace platform = velqo::platform;
namespace crypto = velqo::platform::crypto;
namespace keys = velqo::platform::keys;

constexpr const char* kDevelopmentCode = "246810";
constexpr auto kFlowBound = std::chrono::seconds(60);

std::int64_t processCpuNanoseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The process's CPU time from construction on, less what the service's handlers used.
class ClientCpu {
 public:
  explicit ClientCpu(const ls::LocalService& service)
      : service_(service), process_(processCpuNanoseconds()), handlers_(service.handlerCpuTime()) {}
  double microsecondsPer(benchmark::IterationCount iterations) const {
    if (iterations == 0) return 0;
    const auto handlers = (service_.handlerCpuTime() - handlers_).count();
    return static_cast<double>(processCpuNanoseconds() - process_ - handlers) / 1e3 /
           static_cast<double>(iterations);
  }

 private:
  const ls::LocalService& service_;
  std::int64_t process_;
  std::chrono::nanoseconds handlers_;
};

ls::V1ReferenceOptions referenceOptions() {
  ls::V1ReferenceOptions options;
  options.developmentCode = kDevelopmentCode;
  return options;
}

// One SDK whose prompts are answered as a user would; updates arrive on the main queue,
// which the benchmark drives on its own thread.
struct Flow {
  std::shared_ptr<VelqoV1SDK> sdk;
  std::string identifier;
  bool ended = false;
  bool failed = false;

  Flow(const std::string& baseURL, std::string id)
      : sdk(VelqoV1SDK::create("bench-config", baseURL)), identifier(std::move(id)) {
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
  ~Flow() { sdk->flow()->setOnUpdate({}); }
  Flow(const Flow&) = delete;
  Flow& operator=(const Flow&) = delete;

  void start() {
    ended = failed = false;
    sdk->start(velqo::VelqoV1FlowType::signin, identifier);
  }
};

struct Rig {
  velqo::bench::ScopedBenchEnvironment environment;
  ls::LocalService service;
  ls::V1ReferenceFlow reference{service, referenceOptions()};
  Flow flow{reference.baseURL(), "returning.user@example.com"};

  /// `hardware` false: the hardware key store reports itself unavailable (fallback secrets).
  explicit Rig(bool hardware)
      : environment([hardware] {
          velqo::bench::ScopedBenchEnvironment::Options options;
          options.hardwareKeys = hardware;
          return options;
        }()) {}

  /// One whole sign-in; false when it did not complete.
  bool signIn(const std::string& identifier) {
    flow.identifier = identifier;
    flow.start();
    return platform::mainQueue().runUntil([this] { return flow.ended; }, kFlowBound) && !flow.failed;
  }
};

void report(benchmark::State& state, Rig& rig, std::size_t requestsBefore, long failures,
            const ClientCpu& cpu) {
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["roundTrips"] =
      iterations > 0 ? static_cast<double>(rig.reference.peer().requestCount() - requestsBefore) / iterations
                     : 0;
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["clientCpuUs"] = cpu.microsecondsPer(state.iterations());
  // Starts that carried device information: every one should (it needs a bundle identifier).
  double starts = 0;
  double withDevice = 0;
  for (const auto& exchange : rig.reference.peer().exchanges()) {
    if (exchange.actionType != "start") continue;
    ++starts;
    if (exchange.request.body.find("\"fingerprint\"") != std::string::npos) ++withDevice;
  }
  state.counters["startsWithDevice"] = starts > 0 ? withDevice / starts : 0;
}

void BM_V1SigninReturning(benchmark::State& state) {
  Rig rig(state.range(0) != 0);
  const std::string identifier = "returning.user@example.com";
  long failures = rig.signIn(identifier) ? 0 : 1;  // sets the device up
  const std::size_t before = rig.reference.peer().requestCount();
  const ClientCpu cpu(rig.service);
  for (auto _ : state) {
    if (!rig.signIn(identifier)) ++failures;
  }
  report(state, rig, before, failures, cpu);
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
  const ClientCpu cpu(rig.service);
  for (auto _ : state) {
    // A new user each time, so no stored credential is found.
    if (!rig.signIn("first.user." + std::to_string(n++) + "@example.com")) ++failures;
  }
  report(state, rig, before, failures, cpu);
}
BENCHMARK(BM_V1SigninFirst)
    ->ArgName("hardware")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// ---- the floor ----

// Inputs of a sign-in's own cryptography, of the sizes the device trust uses.
struct CryptoInputs {
  platform::SecKeyRef deviceKey;  // the stored hardware key, as loaded once
  Bytes peerPoint;                // a record's ephemeral public key
  Bytes secret = Bytes(32, 1);
  Bytes salt = Bytes(32, 2);
  Bytes key = Bytes(32, 3);
  Bytes nonce = Bytes(12, 4);
  Bytes info = velqo::bytesOf("com.velqo.benchLinuxECDH P-256+Ed25519");
  Bytes identifier = velqo::bytesOf("returning.user@example.com");
  Bytes hindexInput = Bytes(32 * 3 + 48 + 65 + 32 + 26 + 12 + 32, 7);
  Bytes sealedSalt;
  Bytes sealedKey;
  Bytes message = Bytes(32 + 12, 9);

  CryptoInputs() {
    platform::KeyAttributes attributes;
    deviceKey = keys::createRandomKey(attributes).value();
    peerPoint =
        keys::copyExternalRepresentation(keys::copyPublicKey(keys::createRandomKey(attributes).value()))
            .value();
    Bytes saltAndInfo = salt;
    saltAndInfo.insert(saltAndInfo.end(), info.begin(), info.end());
    sealedSalt = seal(saltAndInfo);
    sealedKey = seal(key);
  }

  Bytes seal(const Bytes& plaintext) const {
    auto s = crypto::aesGcmSeal(crypto::view(key), crypto::view(nonce), crypto::view(plaintext));
    Bytes blob = s->ciphertext;
    blob.insert(blob.end(), s->tag.begin(), s->tag.end());
    return blob;
  }
  Bytes open(const Bytes& blob) const {
    return crypto::aesGcmOpen(crypto::view(key), crypto::view(nonce),
                              crypto::ByteView(blob.data(), blob.size() - 16),
                              crypto::ByteView(blob.data() + blob.size() - 16, 16))
        .value();
  }
  Bytes hkdf(const char* label) const {
    return crypto::hkdfSha256(crypto::view(secret), crypto::view(salt), crypto::view(std::string_view(label)),
                              32);
  }
  Bytes ecdh(const platform::SecKeyRef& publicKey) const {
    return keys::copyKeyExchangeResult(deviceKey, platform::KeyExchangeAlgorithm::ecdhStandardX963SHA256,
                                       publicKey, 32)
        .value();
  }
};

// What every start does: a PKCE pair and, per request, the identifier digest of its header.
void startCrypto(const CryptoInputs& in, int requests) {
  const Bytes verifier = crypto::randomBytes(32);
  benchmark::DoNotOptimize(crypto::sha256(crypto::view(velqo::bytesOf(platform::base64UrlEncode(verifier)))));
  for (int i = 0; i < requests; ++i) benchmark::DoNotOptimize(crypto::sha256(crypto::view(in.identifier)));
}

// A device challenge answered: one key agreement with the record's point, three derivations,
// two openings and the signature.
void challengeCrypto(const CryptoInputs& in) {
  auto peer = keys::createPublicKeyWithData(in.peerPoint);
  benchmark::DoNotOptimize(in.ecdh(peer.value()));
  for (const char* label : {"Symmetrickey2", "Symmetrickey1", "Symmetrickey0"}) {
    benchmark::DoNotOptimize(in.hkdf(label));
  }
  benchmark::DoNotOptimize(in.open(in.sealedSalt));
  benchmark::DoNotOptimize(in.open(in.sealedKey));
  benchmark::DoNotOptimize(crypto::ed25519Sign(crypto::view(in.key), crypto::view(in.message)));
}

// A device set up: the ephemeral key and its agreement, salts, four derivations, the signing
// key, three sealings and the digests of the hash index and fingerprints.
void setupCrypto(const CryptoInputs& in) {
  auto ephemeral = keys::copyPublicKey(keys::createRandomKey(platform::KeyAttributes{}).value());
  benchmark::DoNotOptimize(in.ecdh(ephemeral));
  benchmark::DoNotOptimize(keys::copyExternalRepresentation(ephemeral));
  for (int i = 0; i < 4; ++i) benchmark::DoNotOptimize(crypto::randomBytes(32));
  for (const char* label : {"Symmetrickey0", "Symmetrickey2", "HDS", "Symmetrickey1"}) {
    benchmark::DoNotOptimize(in.hkdf(label));
  }
  benchmark::DoNotOptimize(crypto::ed25519PublicKey(crypto::view(in.key)));
  benchmark::DoNotOptimize(in.seal(in.key));
  benchmark::DoNotOptimize(in.seal(in.sealedSalt));
  benchmark::DoNotOptimize(in.seal(in.hindexInput));
  for (int i = 0; i < 3; ++i) benchmark::DoNotOptimize(crypto::sha256(crypto::view(in.hindexInput)));
}

// Arg 0: the returning sign-in's floor (2 round trips), 1: the first sign-in's (5 round trips,
// a device set up on the way).
void BM_V1SigninFloor(benchmark::State& state) {
  const bool first = state.range(0) != 0;
  const int trips = first ? 5 : 2;
  const velqo::bench::ScopedBenchEnvironment environment;
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

  const CryptoInputs in;
  long failures = 0;
  const ClientCpu cpu(service);
  for (auto _ : state) {
    startCrypto(in, trips);
    if (first) setupCrypto(in);
    challengeCrypto(in);
    for (int i = 0; i < trips; ++i) {
      if (!velqo::bench::bareRoundTrip(*session, request)) ++failures;
    }
  }
  state.counters["roundTrips"] = static_cast<double>(trips);
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["floorCpuUs"] = cpu.microsecondsPer(state.iterations());
}
BENCHMARK(BM_V1SigninFloor)->ArgName("first")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

// ---- many flows at once ----

// Threads the library has started (they carry a "velqo-" name), counted from /proc.
int libraryThreadCount() {
  int count = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name.rfind("velqo-", 0) == 0) ++count;
  }
  return count;
}

// Arg flows returning sign-ins started together (each its own SDK and user, devices set up
// beforehand), driven to their end. Counters: flows per second and the library threads.
void BM_V1ConcurrentReturning(benchmark::State& state) {
  const velqo::bench::ScopedBenchEnvironment environment;
  ls::LocalService service;
  ls::V1ReferenceFlow reference{service, referenceOptions()};
  std::vector<std::unique_ptr<Flow>> flows;
  const auto count = static_cast<std::size_t>(state.range(0));
  for (std::size_t i = 0; i < count; ++i) {
    flows.push_back(
        std::make_unique<Flow>(reference.baseURL(), "crowd." + std::to_string(i) + "@example.com"));
  }
  long failures = 0;
  auto runAll = [&] {
    for (auto& flow : flows) flow->start();
    const bool done = platform::mainQueue().runUntil(
        [&] {
          for (const auto& flow : flows)
            if (!flow->ended) return false;
          return true;
        },
        kFlowBound);
    for (const auto& flow : flows) failures += (!done || flow->failed) ? 1 : 0;
  };
  runAll();  // first sign-ins: every device set up
  const long setupFailures = failures;
  failures = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    runAll();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  }
  state.counters["flowsPerSecond"] =
      seconds > 0 ? static_cast<double>(count * static_cast<std::size_t>(state.iterations())) / seconds : 0;
  state.counters["libraryThreads"] = libraryThreadCount();
  state.counters["failures"] = static_cast<double>(failures + setupFailures);
  state.counters["returning"] = static_cast<double>(reference.returningDeviceCount());
}
BENCHMARK(BM_V1ConcurrentReturning)->Arg(1000)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// Its floor: Arg pairs of bare round trips started together through the same shared session to
// a peer that does no work, the second of each pair sent from the first's completion.
void BM_V1ConcurrentBare(benchmark::State& state) {
  ls::LocalService service;
  ls::V1Peer peer(service);
  peer.setFallback([](const ls::V1Exchange&) {
    return ls::Reply::json(
        200, ls::V1Peer::response("3f1c2a9e7b444c1e9a550d2f6e8b1c77", ls::V1Peer::completedPrompt("code-1")));
  });
  auto session = platform::HttpSession::shared();
  platform::HttpRequest request;
  request.url = peer.baseURL() + "/auth";
  request.method = "POST";
  request.timeoutSeconds = 60;
  request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
  request.body = R"({"protocolVersion":2,"action":{"type":"start","flowType":"signin"}})";

  const auto count = static_cast<std::size_t>(state.range(0));
  std::mutex mutex;
  std::condition_variable cv;
  std::size_t done = 0;
  long failures = 0;
  double seconds = 0;
  for (auto _ : state) {
    {
      std::lock_guard lock(mutex);
      done = 0;
    }
    const auto begin = std::chrono::steady_clock::now();
    auto finish = [&](bool ok) {
      std::lock_guard lock(mutex);
      if (!ok) ++failures;
      if (++done == count) cv.notify_one();
    };
    for (std::size_t i = 0; i < count; ++i) {
      session->dataTask(request, [&, finish](auto body, auto response, auto error) {
        if (error || !response || !body) return finish(false);
        session->dataTask(request, [finish](auto body2, auto response2, auto error2) {
          finish(!error2 && response2 && body2);
        });
      });
    }
    std::unique_lock lock(mutex);
    cv.wait_for(lock, kFlowBound, [&] { return done == count; });
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  }
  state.counters["flowsPerSecond"] =
      seconds > 0 ? static_cast<double>(count * static_cast<std::size_t>(state.iterations())) / seconds : 0;
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_V1ConcurrentBare)->Arg(1000)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
