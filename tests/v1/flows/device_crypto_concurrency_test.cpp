// Several threads set up, look up and prove device credentials through one service at once.

#include <gtest/gtest.h>

#include <thread>

#include "v1/flows/device_crypto_test_support.hpp"

namespace velqo::testing {
namespace {

TEST_F(DeviceCryptoTest, ConcurrentSetupsAndChallengesForDifferentUsers) {
  auto service = VelqoV1DeviceCryptoService::create("p1", VelqoV1DeviceCryptoStore::create("svc.test"));
  constexpr int kThreads = 8;
  constexpr int kRounds = 5;
  std::vector<int> verified(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string user = "user" + std::to_string(t);
      for (int round = 0; round < kRounds; ++round) {
        try {
          const VelqoV1Action setup = service->handleSetupDevice("d", "", "1", user);
          const ServiceView view = openKeyset(setup);
          const Bytes nonce = crypto::randomBytes(16);
          // A start's lookup first, as in a sign-in: the challenge then takes the secret it agreed.
          const bool found = service->deviceCredentials(user).has_value();
          const VelqoV1Action answer =
              service->handleDeviceChallenge(platform::base64Encode(nonce), "base64", "k", "", "d",
                                             platform::base64Encode(view.combinedSalt), "", user);
          const auto* signature = answer.as<VelqoV1Action::SubmitSignature>();
          const auto qr = service->signQrMessage("s:n:" + user, user);
          if (found && signature != nullptr &&
              ed25519Verifies(view.publicKey, concat({nonce, bytesOf("d")}),
                              unbase64(signature->signature)) &&
              ed25519Verifies(view.publicKey, bytesOf("s:n:" + user), unbase64(qr.signature)) &&
              service->deviceCredentials(user).has_value()) {
            ++verified[t];
          }
        } catch (const std::exception& e) {
          ADD_FAILURE() << user << ": " << e.what();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(verified[t], kRounds) << t;
  // One record and one hardware key per user.
  EXPECT_EQ(items->itemCount(), static_cast<std::size_t>(2 * kThreads));
}

}  // namespace
}  // namespace velqo::testing
