#pragma once

// The pluggable device-trust handler of the V1 protocol client and its error record.

#include <optional>
#include <string>
#include <string_view>

#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/v1/protocol/actions.hpp"

namespace velqo {

/// A device-trust failure: a snake_case code, a short English message, and whether the
/// stored device record is unusable and has been, or must be, deleted. Thrown by the
/// handle operations of VelqoV1DeviceCryptoHandling and by QR signing.
///
/// As a platform error: domain "VelqoV1DeviceCryptoError", numeric code = position of the
/// text code in `Code` (invalid_identifier 0 ... internal_error 7; -1 for any other text),
/// description = the message. Note that `code()` here is the text code; the numeric one is
/// reached through the PlatformError base.
class VELQO_API VelqoV1DeviceCryptoError : public platform::PlatformError {
 public:
  /// The codes in use, in this order.
  enum class Code {
    invalidIdentifier,     ///< "invalid_identifier"
    unsupportedAlgorithm,  ///< "unsupported_algorithm"
    deviceNotFound,        ///< "device_not_found"
    infoStringMismatch,    ///< "info_string_mismatch"
    invalidChallenge,      ///< "invalid_challenge"
    decryptionFailed,      ///< "decryption_failed"
    invalidSignature,      ///< "invalid_signature"
    internalError,         ///< "internal_error"
  };
  /// The snake_case text of a code.
  static std::string_view codeText(Code code) noexcept;

  VelqoV1DeviceCryptoError(std::string code, std::string message, bool shouldClearRecord);
  VelqoV1DeviceCryptoError(Code code, std::string message, bool shouldClearRecord)
      : VelqoV1DeviceCryptoError(std::string(codeText(code)), std::move(message), shouldClearRecord) {}

  /// The fixed rows of the failure table.
  /// "invalid_identifier", "Invalid user identifier", no clear.
  static VelqoV1DeviceCryptoError invalidIdentifier();
  /// "unsupported_algorithm", "Unsupported crypto algorithm", no clear.
  static VelqoV1DeviceCryptoError unsupportedAlgorithm();
  /// "internal_error", "Failed to setup device trust", no clear.
  static VelqoV1DeviceCryptoError setupFailed();
  /// "device_not_found", "Device record not found", clear.
  static VelqoV1DeviceCryptoError deviceNotFound();
  /// "invalid_challenge", "Unsupported response encoding", no clear.
  static VelqoV1DeviceCryptoError unsupportedResponseEncoding();
  /// "info_string_mismatch", "Algorithm mismatch", clear.
  static VelqoV1DeviceCryptoError algorithmMismatch();
  /// "invalid_challenge", "Invalid combinedsalt", clear.
  static VelqoV1DeviceCryptoError invalidCombinedSalt();

  const std::string& code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }
  bool shouldClearRecord() const noexcept { return shouldClearRecord_; }
  /// The code as a `Code`, or nothing for a text outside the table.
  std::optional<Code> knownCode() const noexcept;

  friend bool operator==(const VelqoV1DeviceCryptoError& a, const VelqoV1DeviceCryptoError& b) {
    return a.code_ == b.code_ && a.message_ == b.message_ && a.shouldClearRecord_ == b.shouldClearRecord_;
  }

 private:
  std::string code_;
  std::string message_;
  bool shouldClearRecord_;
};

/// How the V1 protocol client answers the device-trust prompts and finds stored device
/// credentials. Implemented by the library's device-trust service; a host may plug in its
/// own. The client calls these synchronously on the thread that processes the response
/// (the HTTP session's completion thread), only with a non-empty current identifier for the
/// two handle operations. Implementations must tolerate calls from that thread and do their
/// storage work inside the call; slow work delays the follow-up request.
class VELQO_API VelqoV1DeviceCryptoHandling {
 public:
  virtual ~VelqoV1DeviceCryptoHandling() = default;

  /// Answers a setup_device prompt (its domain, algorithm and version) for `identifier`:
  /// returns the next action to send (a request-challenge with keyset, hindex and sk2).
  /// Throws VelqoV1DeviceCryptoError, or any other exception, on failure.
  virtual VelqoV1Action handleSetupDevice(const std::string& domain, const std::string& algorithm,
                                          const std::string& version, const std::string& identifier) = 0;

  /// Answers a device_challenge prompt (its seven fields, encodings already defaulted to
  /// "base64") for `identifier`: returns the next action (a submit-signature with keyId,
  /// signature and mapp). Throws VelqoV1DeviceCryptoError, or any other exception, on failure.
  virtual VelqoV1Action handleDeviceChallenge(const std::string& challenge,
                                              const std::string& challengeEncoding, const std::string& keyId,
                                              const std::string& algorithm, const std::string& domain,
                                              const std::string& combinedsalt,
                                              const std::string& responseEncoding,
                                              const std::string& identifier) = 0;

  /// The stored credentials for `identifier`, or nothing. Must not throw.
  virtual std::optional<VelqoV1DeviceCredentials> deviceCredentials(const std::string& identifier) = 0;

  /// Deletes the stored device record of `identifier`. Must not throw.
  virtual void clearRecord(const std::string& identifier) = 0;

 protected:
  VelqoV1DeviceCryptoHandling() = default;
  VelqoV1DeviceCryptoHandling(const VelqoV1DeviceCryptoHandling&) = default;
  VelqoV1DeviceCryptoHandling& operator=(const VelqoV1DeviceCryptoHandling&) = default;
};

}  // namespace velqo
