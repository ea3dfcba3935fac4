// The device-trust error record and the public client error enumeration.

#include <gtest/gtest.h>

#include "velqo/v1/protocol/client_error.hpp"
#include "velqo/v1/protocol/device_crypto_handling.hpp"

namespace velqo {
namespace {

TEST(V1DeviceCryptoError, FixedRowsCarryTheirCodeMessageAndClearFlag) {
  struct Row {
    VelqoV1DeviceCryptoError error;
    const char* code;
    const char* message;
    bool clear;
    long numeric;
  };
  const Row rows[] = {
      {VelqoV1DeviceCryptoError::invalidIdentifier(), "invalid_identifier", "Invalid user identifier", false,
       0},
      {VelqoV1DeviceCryptoError::unsupportedAlgorithm(), "unsupported_algorithm",
       "Unsupported crypto algorithm", false, 1},
      {VelqoV1DeviceCryptoError::deviceNotFound(), "device_not_found", "Device record not found", true, 2},
      {VelqoV1DeviceCryptoError::algorithmMismatch(), "info_string_mismatch", "Algorithm mismatch", true, 3},
      {VelqoV1DeviceCryptoError::unsupportedResponseEncoding(), "invalid_challenge",
       "Unsupported response encoding", false, 4},
      {VelqoV1DeviceCryptoError::invalidCombinedSalt(), "invalid_challenge", "Invalid combinedsalt", true, 4},
      {VelqoV1DeviceCryptoError(VelqoV1DeviceCryptoError::Code::decryptionFailed, "Device challenge failed",
                                true),
       "decryption_failed", "Device challenge failed", true, 5},
      {VelqoV1DeviceCryptoError("invalid_signature", "QR signing failed", true), "invalid_signature",
       "QR signing failed", true, 6},
      {VelqoV1DeviceCryptoError::setupFailed(), "internal_error", "Failed to setup device trust", false, 7},
      {VelqoV1DeviceCryptoError("custom_code", "Custom", false), "custom_code", "Custom", false, -1},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.error.code(), row.code);
    EXPECT_EQ(row.error.message(), row.message);
    EXPECT_EQ(row.error.shouldClearRecord(), row.clear) << row.code;
    const platform::PlatformError& asPlatform = row.error;
    EXPECT_EQ(asPlatform.domain(), "VelqoV1DeviceCryptoError");
    EXPECT_EQ(asPlatform.code(), row.numeric) << row.code;
    EXPECT_EQ(asPlatform.localizedDescription(), row.message);
    EXPECT_EQ(row.error.knownCode().has_value(), row.numeric >= 0);
  }
  // Thrown and caught as the platform error it is.
  try {
    throw VelqoV1DeviceCryptoError::deviceNotFound();
  } catch (const platform::PlatformError& e) {
    EXPECT_EQ(e.code(), 2);
  }
}

TEST(V1ClientError, EqualityComparesCaseAndPayload) {
  using E = VelqoV1ClientError;
  EXPECT_NE(E::httpError(500, std::nullopt), E::httpError(500, std::string()));
  EXPECT_EQ(E::httpError(500, std::string("x")), E::httpError(500, std::string("x")));
  EXPECT_NE(E::httpError(500, std::nullopt), E::httpError(502, std::nullopt));
  EXPECT_NE(E::transportError("a"), E::requestEncodingFailed("a"));
  EXPECT_EQ(E::serverError(VelqoV1Prompt::Error{}), E::serverError(VelqoV1Prompt::Error{}));
  EXPECT_NE(E::serverError(VelqoV1Prompt::Error{}), E::serverError(VelqoV1Prompt::EnterTotp{}));
  EXPECT_EQ(E::serverError(VelqoV1Prompt::EnterTotp{}).code(), 5);
  EXPECT_EQ(E::invalidConfiguration("x").domain(), "VelqoV1ClientError");
  EXPECT_EQ(E::invalidConfiguration("x").code(), 0);
}

}  // namespace
}  // namespace velqo
