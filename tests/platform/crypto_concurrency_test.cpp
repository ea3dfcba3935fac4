#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace velqo::platform::crypto {
namespace {

// Keys read from PEM are shared between threads; many threads verifying with a few keys (and
// failing on a foreign one) must all get the right answers.
TEST(CryptoConcurrency, ParallelEcdsaVerification) {
  const std::string pem = R"(-----BEGIN PUBLIC KEY-----
MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEGWftDCMYG/DUHRIGmNACCZ2Xuo13
SIYRnUZ0QKmwDo4/96ElnpfwZd9NtvdLDSMstJ/iOrL+rVA3Yqv/Hsm7Fw==
-----END PUBLIC KEY-----
)";
  const Bytes signature =
      hexDecode(
          "ddc3b28d1eb3225b890648283798416077a198e9d25cb20ec56e15a25da755125eb5af4fb80b950e6425f5e0f"
          "216b18e5afea90cb7000d20a832201914148415")
          .value();
  const Bytes message = bytesOf("header.payload");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        // Every thread also brings keys of its own so that the shared table grows and is cleared.
        std::string own = pem + std::string(static_cast<std::size_t>(t * 40 + i % 7), '\n');
        const bool good = (i % 3) != 0;
        Bytes sig = signature;
        if (!good) sig[5] ^= 0x10;
        const auto result = ecdsaVerifyRaw(i % 2 ? pem : own, EcCurve::p256, view(message), view(sig));
        if (result != (good ? EcdsaVerifyResult::valid : EcdsaVerifyResult::invalidSignature)) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace velqo::platform::crypto
