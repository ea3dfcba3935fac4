// Values made on first use, met by many threads at once: each thread must end with the one value
// that stays (run under ThreadSanitizer in CI).

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/identity/fingerprint_generator.hpp"
#include "core/identity/secure_enclave_helper.hpp"
#include "support/scoped_platform_settings.hpp"
#include "velqo/core/oauth_token_verifier.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo_localservice/local_service.hpp"

namespace velqo {
namespace {

// Threads that meet a user's first use together must all end with the one secret on disk.
TEST(IdentityConcurrencyTest, FirstUseFromManyThreadsGivesOneSecret) {
  testing::ScopedPlatformSettings settings;
  auto device = platform::currentDevice();
  device.identifierForVendor = "VENDOR";
  settings.setCurrentDevice(device);
  constexpr int kThreads = 8;
  for (int round = 0; round < 5; ++round) {
    const std::string user = "racer-" + std::to_string(round);
    std::vector<std::string> hashes(kThreads);
    std::vector<std::string> fingerprints(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        hashes[static_cast<std::size_t>(i)] = SecureEnclaveHelper::deviceSecretHash(user);
        fingerprints[static_cast<std::size_t>(i)] = FingerprintGenerator::generateFingerprint(user);
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<std::string>(hashes.begin(), hashes.end()).size(), 1u) << user;
    EXPECT_EQ(std::set<std::string>(fingerprints.begin(), fingerprints.end()).size(), 1u) << user;
    EXPECT_EQ(SecureEnclaveHelper::deviceSecretHash(user), hashes[0]);
  }
}

// The reference service makes each ID-token key on first use: threads that sign with a curve at
// once must all sign with the one key that the service's public key for that curve names.
TEST(LocalServiceConcurrency, FirstTokensFromManyThreadsShareOneKeyPerCurve) {
  using localservice::Curve;
  localservice::LocalService service;
  constexpr int kThreads = 9;
  const Curve curves[] = {Curve::p256, Curve::p384, Curve::p521};
  std::vector<std::string> tokens(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back(
        [&, i] { tokens[i] = service.issueIdToken(curves[i % 3], R"({"aud":"client-123"})"); });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_NO_THROW(OAuthTokenVerifier(service.publicKeyPem(curves[i % 3]), "client-123").verify(tokens[i]))
        << "token " << i;
  }
}

}  // namespace
}  // namespace velqo
