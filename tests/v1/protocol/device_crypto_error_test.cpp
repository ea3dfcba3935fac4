// The device-trust error record.

#include <gtest/gtest.h>

#include "velqo/v1/protocol/device_crypto_handling.hpp"

namespace velqo {
namespace {

// The factories' texts and clear flags are checked where the device-trust service raises them.
TEST(V1DeviceCryptoError, CodesHaveTheirNumbersAndTheMessageIsTheDescription) {
  using E = VelqoV1DeviceCryptoError;
  const std::pair<E, long> rows[] = {
      {E::invalidIdentifier(), 0},
      {E::unsupportedAlgorithm(), 1},
      {E::deviceNotFound(), 2},
      {E::algorithmMismatch(), 3},
      {E::unsupportedResponseEncoding(), 4},
      {E::invalidCombinedSalt(), 4},
      {E(E::Code::decryptionFailed, "Device challenge failed", true), 5},
      {E("invalid_signature", "QR signing failed", true), 6},
      {E::setupFailed(), 7},
      {E("custom_code", "Custom", false), -1},
  };
  for (const auto& [error, numeric] : rows) {
    SCOPED_TRACE(error.code());
    const platform::PlatformError& asPlatform = error;
    EXPECT_EQ(asPlatform.domain(), "VelqoV1DeviceCryptoError");
    EXPECT_EQ(asPlatform.code(), numeric);
    EXPECT_EQ(asPlatform.localizedDescription(), error.message());
    EXPECT_EQ(error.knownCode().has_value(), numeric >= 0);
  }
}

}  // namespace
}  // namespace velqo
