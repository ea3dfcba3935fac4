#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/identity/fingerprint_generator.hpp"
#include "core/identity/secure_enclave_helper.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo {
namespace {

// Threads that meet a user's first use together must all end with the one secret on disk.
TEST(IdentityConcurrencyTest, FirstUseFromManyThreadsGivesOneSecret) {
  auto device = platform::currentDevice();
  device.identifierForVendor = "VENDOR";
  platform::setCurrentDevice(device);
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

}  // namespace
}  // namespace velqo
