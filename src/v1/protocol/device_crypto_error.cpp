#include <utility>

#include "velqo/v1/protocol/device_crypto_handling.hpp"

namespace velqo {

namespace {

constexpr std::string_view kCodeTexts[] = {
    "invalid_identifier", "unsupported_algorithm", "device_not_found",  "info_string_mismatch",
    "invalid_challenge",  "decryption_failed",     "invalid_signature", "internal_error",
};

long numericCode(std::string_view code) {
  for (std::size_t i = 0; i < std::size(kCodeTexts); ++i) {
    if (kCodeTexts[i] == code) return static_cast<long>(i);
  }
  return -1;
}

}  // namespace

std::string_view VelqoV1DeviceCryptoError::codeText(Code code) noexcept {
  return kCodeTexts[static_cast<std::size_t>(code)];
}

VelqoV1DeviceCryptoError::VelqoV1DeviceCryptoError(std::string code, std::string message,
                                                   bool shouldClearRecord)
    : PlatformError("VelqoV1DeviceCryptoError", numericCode(code), message),
      code_(std::move(code)),
      message_(std::move(message)),
      shouldClearRecord_(shouldClearRecord) {}

std::optional<VelqoV1DeviceCryptoError::Code> VelqoV1DeviceCryptoError::knownCode() const noexcept {
  long index = numericCode(code_);
  if (index < 0) return std::nullopt;
  return static_cast<Code>(index);
}

VelqoV1DeviceCryptoError VelqoV1DeviceCryptoError::invalidIdentifier() {
  return {Code::invalidIdentifier, "Invalid user identifier", false};
}
VelqoV1DeviceCryptoError VelqoV1DeviceCryptoError::unsupportedAlgorithm() {
  return {Code::unsupportedAlgorithm, "Unsupported crypto algorithm", false};
}
VelqoV1DeviceCryptoError VelqoV1DeviceCryptoError::setupFailed() {
  return {Code::internalError, "Failed to setup device trust", false};
}
VelqoV1DeviceCryptoError VelqoV1DeviceCryptoError::deviceNotFound() {
  return {Code::deviceNotFound, "Device record not found", true};
}
VelqoV1DeviceCryptoError VelqoV1DeviceCryptoError::unsupportedResponseEncoding() {
  return {Code::invalidChallenge, "Unsupported response encoding", false};
}
VelqoV1DeviceCryptoError VelqoV1DeviceCryptoError::algorithmMismatch() {
  return {Code::infoStringMismatch, "Algorithm mismatch", true};
}
VelqoV1DeviceCryptoError VelqoV1DeviceCryptoError::invalidCombinedSalt() {
  return {Code::invalidChallenge, "Invalid combinedsalt", true};
}

}  // namespace velqo
