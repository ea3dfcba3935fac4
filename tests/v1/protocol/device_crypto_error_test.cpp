// The device-trust error record.

#include <gtest/gtest.h>

#include "velqo/v1/protocol/device_crypto_handling.hpp"

namespace velqo {
namespace {

TEST(V1DeviceCryptoError, FixedRowsCarryTheirCodeMessageAndClearFlag) {
  using E = VelqoV1DeviceCryptoError;
  struct Row {
    E error;
    const char* code;
    const char* message;
    bool clear;
    long numeric;
  };
  const Row rows[] = {
      {E::invalidIdentifier(), "invalid_identifier", "Invalid user identifier", false, 0},
      {E::unsupportedAlgorithm(), "unsupported_algorithm", "Unsupported crypto algorithm", false, 1},
      {E::deviceNotFound(), "device_not_found", "Device record not found", true, 2},
      {E::algorithmMismatch(), "info_string_mismatch", "Algorithm mismatch", true, 3},
      {E::unsupportedResponseEncoding(), "invalid_challenge", "Unsupported response encoding", false, 4},
      {E::invalidCombinedSalt(), "invalid_challenge", "Invalid combinedsalt", true, 4},
      {E(E::Code::decryptionFailed, "Device challenge failed", true), "decryption_failed",
       "Device challenge failed", true, 5},
      {E("invalid_signature", "QR signing failed", true), "invalid_signature", "QR signing failed", true, 6},
      {E::setupFailed(), "internal_error", "Failed to setup device trust", false, 7},
      {E("custom_code", "Custom", false), "custom_code", "Custom", false, -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(row.error.code(), row.code);
    EXPECT_EQ(row.error.message(), row.message);
    EXPECT_EQ(row.error.shouldClearRecord(), row.clear);
    const platform::PlatformError& asPlatform = row.error;
    EXPECT_EQ(asPlatform.domain(), "VelqoV1DeviceCryptoError");
    EXPECT_EQ(asPlatform.code(), row.numeric);
    EXPECT_EQ(asPlatform.localizedDescription(), row.message);
    EXPECT_EQ(row.error.knownCode().has_value(), row.numeric >= 0);
  }
}

}  // namespace
}  // namespace velqo
