// V5 sign-ins through VelqoAuthV5 against the loopback reference service (in-memory item store,
// callbacks on the main queue that the benchmark thread drives), beside the bare sequence of
// primitives the same sign-in performs on the client.
//
// - login: a returning device: key agreement (hardware mode), two derivations and two digests
//   for the hash index, then sk1, the combined salt, sk0, the sealed signing key and the
//   signature;
// - registration: a new user each time: a new hardware key and an ephemeral key with their key
//   agreement, three salts, four derivations, the signing key, three seals and two digests, then
//   the login above.
// The "CPU" column is the benchmark thread's CPU time: everything the engine does on the caller's
// thread and on the main queue, without the HTTP session's worker or the service's threads.
// Compare BM_V5Login with BM_V5LoginPrimitives and BM_V5Registration with
// BM_V5RegistrationPrimitives; BM_V5TransportFloor gives what the 2 (login) or 5 (registration)
// round trips cost this thread by themselves. "hardware:0" has the hardware key store report
// itself unavailable.

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "account/v5/velqo_auth_v5.hpp"
#include "api/models/v5_records.hpp"
#include "core/identity/fingerprint_generator.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "support/scoped_platform_settings.hpp"
#include "support/scoped_temp_directory.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/v5_peer.hpp"

namespace {

namespace ls = velqo::localservice;
namespace platform = velqo::platform;
namespace pc = velqo::platform::crypto;
using velqo::Bytes;

struct Outcome : velqo::AuthV5Callback {
  int otp = 0;
  int ended = 0;
  bool failed = false;
  void onOtpRequired() override { ++otp; }
  void onAuthSuccess(const std::optional<std::string>&, const std::optional<std::string>&, bool) override {
    ++ended;
  }
  void onError(velqo::AuthV5ErrorCode, const std::string&) override { failed = true, ++ended; }
  void onAuthorizationCode(const std::string&, std::optional<std::int64_t>) override {
    failed = true, ++ended;
  }
  void onAdditionalVerificationRequired(const std::string&, const std::optional<std::string>&) override {
    failed = true, ++ended;
  }
};

// A private application data directory (for the per-user secret behind the fingerprint), a
// bundle identifier and a vendor identifier, set once for the process (always true).
bool ensureEnvironment() {
  // The directory object holds its own path and removes only what it made, at exit.
  static const velqo::testing::ScopedTempDirectory directory("velqo-v5-bench");
  static const bool ready = [] {
    platform::setApplicationDataDirectory(directory.path());
    platform::BundleInfo bundle;
    bundle.identifier = "com.velqo.bench";
    platform::setMainBundle(bundle);
    auto device = platform::currentDevice();
    device.identifierForVendor = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    platform::setCurrentDevice(device);
    return true;
  }();
  return ready;
}

struct Rig {
  // The process's environment before the settings, which then keep it when they end.
  const bool environment = ensureEnvironment();
  velqo::testing::ScopedPlatformSettings settings;
  ls::LocalService service;
  ls::V5Peer peer{service, ls::V5Peer::Options{}};
  std::shared_ptr<velqo::VelqoAuthV5> engine;
  std::shared_ptr<Outcome> outcome = std::make_shared<Outcome>();

  explicit Rig(bool hardware) {
    settings.setHardwareKeyMode(hardware ? platform::HardwareKeyMode::available
                                         : platform::HardwareKeyMode::notAvailable);
    settings.setItemStore(platform::InMemoryItemStore::create());
    engine = velqo::VelqoAuthV5::create(velqo::ApiService::create("bench-key"), std::nullopt,
                                        velqo::EndPoints(service.baseUrl()));
  }
  ~Rig() { engine.reset(); }

  /// One whole attempt (with the code when one is asked for); false when it did not succeed.
  bool signIn(const std::string& user) {
    const int ended = outcome->ended;
    const int otp = outcome->otp;
    outcome->failed = false;
    engine->authenticate(user, outcome);
    auto done = [&] { return outcome->ended > ended || outcome->otp > otp; };
    if (!platform::mainQueue().runUntil(done, std::chrono::seconds(10))) return false;
    if (outcome->otp > otp) {
      engine->submitOtp("123456");
      if (!platform::mainQueue().runUntil([&] { return outcome->ended > ended; }, std::chrono::seconds(10))) {
        return false;
      }
    }
    return !outcome->failed;
  }
};

void BM_V5Login(benchmark::State& state) {
  Rig rig(state.range(0) != 0);
  long failures = rig.signIn("returning@example.com") ? 0 : 1;
  for (auto _ : state) {
    if (!rig.signIn("returning@example.com")) ++failures;
  }
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_V5Login)->ArgName("hardware")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

void BM_V5Registration(benchmark::State& state) {
  Rig rig(state.range(0) != 0);
  long failures = 0;
  std::size_t n = 0;
  for (auto _ : state) {
    if (!rig.signIn("new." + std::to_string(n++) + "@example.com")) ++failures;
  }
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_V5Registration)->ArgName("hardware")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// The transport floor on the benchmark thread: Arg JSON round trips of an auth-init sized body
// through the same transport, each answered on the main queue that this thread drives.
void BM_V5TransportFloor(benchmark::State& state) {
  ensureEnvironment();
  ls::LocalService service;
  service.route("POST", "/v5/auth-init", ls::Reply::json(200, R"({"challenge":"00ff","r2":"AAAA"})"));
  auto api = velqo::ApiService::create("bench-key");
  velqo::AuthInitV5Request body{"returning@example.com",
                                {"mobile_v1", std::string(64, 'a'), {"b", "arm64", "m", "1.0"}},
                                std::string(44, 'h'),
                                std::string(44, 's')};
  long failures = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < state.range(0); ++i) {
      bool done = false;
      api->post<velqo::AuthInitV5Response>(service.baseUrl() + "/v5/auth-init", body, std::nullopt,
                                           [&](auto outcome) { done = true, failures += outcome ? 0 : 1; });
      if (!platform::mainQueue().runUntil([&] { return done; }, std::chrono::seconds(10))) ++failures;
    }
  }
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_V5TransportFloor)->ArgName("roundTrips")->Arg(2)->Arg(5)->Unit(benchmark::kMicrosecond);

// What every attempt does before its first request: the fingerprint, the device attributes, the
// environment and the stored record.
void BM_V5AttemptSetup(benchmark::State& state) {
  Rig rig(state.range(0) != 0);
  (void)rig.signIn("returning@example.com");
  for (auto _ : state) {
    benchmark::DoNotOptimize(velqo::FingerprintGenerator::generateFingerprint("returning@example.com"));
    benchmark::DoNotOptimize(velqo::FingerprintGenerator::generateSdabAttributes());
    benchmark::DoNotOptimize(velqo::V5EnvironmentInfo::current());
    benchmark::DoNotOptimize(rig.engine->credentialStore().load("returning@example.com"));
  }
}
BENCHMARK(BM_V5AttemptSetup)->ArgName("hardware")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// ---- the primitives alone ----

Bytes hkdf(const Bytes& secret, const Bytes& salt, std::string_view label) {
  return pc::hkdfSha256(pc::view(secret), pc::view(salt), pc::view(label), 32);
}
Bytes seal(const Bytes& key, const Bytes& plaintext) {
  const Bytes nonce = pc::randomBytes(12);
  auto sealed = pc::aesGcmSeal(pc::view(key), pc::view(nonce), pc::view(plaintext));
  Bytes blob = nonce;
  blob.insert(blob.end(), sealed->ciphertext.begin(), sealed->ciphertext.end());
  blob.insert(blob.end(), sealed->tag.begin(), sealed->tag.end());
  return blob;
}
Bytes open(const Bytes& key, const Bytes& blob) {
  const pc::ByteView all = pc::view(blob);
  return *pc::aesGcmOpen(pc::view(key), all.first(12), all.subspan(12, blob.size() - 28), all.last(16));
}
Bytes cat(std::initializer_list<const Bytes*> parts) {
  Bytes out;
  for (const Bytes* p : parts) out.insert(out.end(), p->begin(), p->end());
  return out;
}

// What the client keeps and what the service answers at login.
struct Device {
  Bytes tag;
  Bytes point;  // ephemeral public key; the secret itself in fallback
  Bytes salt0, salt1, salt2, prs, combinedSalt;
};

Bytes agree(bool hardware, const Device& d, bool create) {
  if (!hardware) return d.point;
  platform::SecKeyRef key;
  if (platform::keys::copyMatchingKey(d.tag, platform::KeyType::ecPrimeRandom,
                                      platform::KeyToken::secureEnclave, key) != 0 &&
      create) {
    platform::KeyAttributes attributes;
    attributes.token = platform::KeyToken::secureEnclave;
    attributes.permanent = true;
    attributes.applicationTag = d.tag;
    key = platform::keys::createRandomKey(attributes).value();
  }
  auto peer = platform::keys::createPublicKeyWithData(d.point).value();
  return platform::keys::copyKeyExchangeResult(key, platform::KeyExchangeAlgorithm::ecdhStandardX963SHA256,
                                               peer, 32)
      .value();
}

// The hash index: sk2 and hds, the device digest and the index digest.
Bytes hashIndex(const Device& d, const Bytes& secret) {
  const Bytes sk2 = hkdf(secret, d.salt1, "velqo.v5.sk2");
  Bytes dfp = hkdf(secret, d.salt2, "velqo.v5.hds");
  dfp = pc::sha256(pc::view(dfp));
  return pc::sha256(pc::view(cat({&d.salt1, &d.salt2, &sk2, &d.prs, &d.point, &secret, &dfp})));
}

void loginPrimitives(bool hardware, const Device& d, const Bytes& challenge) {
  const Bytes secret = agree(hardware, d, false);
  benchmark::DoNotOptimize(hashIndex(d, secret));
  const Bytes sk1 = hkdf(secret, pc::sha256(pc::view(d.prs)), "velqo.v5.sk1");
  const Bytes opened = open(sk1, d.combinedSalt);
  const Bytes salt0(opened.begin(), opened.begin() + 32);
  const Bytes seed = open(hkdf(secret, salt0, "velqo.v5.sk0"), d.prs);
  benchmark::DoNotOptimize(pc::ed25519Sign(pc::view(seed), pc::view(challenge)));
}

Device registrationPrimitives(bool hardware, const std::string& user) {
  Device d;
  d.tag = velqo::bytesOf("bench.v5.se." + user);
  Bytes secret;
  if (hardware) {
    platform::KeyAttributes ephemeralAttributes;
    auto ephemeral = platform::keys::createRandomKey(ephemeralAttributes).value();
    d.point = platform::keys::copyExternalRepresentation(platform::keys::copyPublicKey(ephemeral)).value();
    secret = agree(true, d, true);
  } else {
    secret = pc::randomBytes(32);
    d.point = secret;
  }
  d.salt0 = pc::randomBytes(32), d.salt1 = pc::randomBytes(32), d.salt2 = pc::randomBytes(32);
  const Bytes seed = pc::randomBytes(32);
  const Bytes publicKey = *pc::ed25519PublicKey(pc::view(seed));
  d.prs = seal(hkdf(secret, d.salt0, "velqo.v5.sk0"), seed);
  const Bytes info = velqo::bytesOf("App 1.0 (Model; Linux 6.1)LinuxECDH P-256+Ed25519ios_v5_1.0_1");
  d.combinedSalt = seal(hkdf(secret, pc::sha256(pc::view(d.prs)), "velqo.v5.sk1"), cat({&d.salt0, &info}));
  benchmark::DoNotOptimize(seal(hkdf(secret, d.salt1, "velqo.v5.sk2"), cat({&publicKey, &d.combinedSalt})));
  benchmark::DoNotOptimize(hashIndex(d, secret));
  return d;
}

void BM_V5LoginPrimitives(benchmark::State& state) {
  const bool hardware = state.range(0) != 0;
  velqo::testing::ScopedPlatformSettings settings;
  settings.setItemStore(platform::InMemoryItemStore::create());
  const Device device = registrationPrimitives(hardware, "returning");
  const Bytes challenge = pc::randomBytes(32);
  for (auto _ : state) loginPrimitives(hardware, device, challenge);
}
BENCHMARK(BM_V5LoginPrimitives)->ArgName("hardware")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

void BM_V5RegistrationPrimitives(benchmark::State& state) {
  const bool hardware = state.range(0) != 0;
  velqo::testing::ScopedPlatformSettings settings;
  settings.setItemStore(platform::InMemoryItemStore::create());
  const Bytes challenge = pc::randomBytes(32);
  std::size_t n = 0;
  for (auto _ : state) {
    const Device device = registrationPrimitives(hardware, std::to_string(n++));
    loginPrimitives(hardware, device, challenge);
  }
}
BENCHMARK(BM_V5RegistrationPrimitives)->ArgName("hardware")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace
