#pragma once

// Signing of QR approval messages with the device credential's Ed25519 key.

#include <string>

#include "velqo/export.hpp"

namespace velqo {

/// The proof QR approval sends: base64 of the 64-byte Ed25519 signature, the credential's
/// hash index as stored, and base64 of sk2.
struct VELQO_API VelqoV1QrSignaturePayload {
  std::string signature;
  std::string h2index;
  std::string sk2;

  friend bool operator==(const VelqoV1QrSignaturePayload&, const VelqoV1QrSignaturePayload&) = default;
};

/// What QR approval needs of a signer. Implemented by VelqoV1DeviceCryptoService. Both
/// operations run synchronously on the caller's thread and do their storage work inside the
/// call.
class VELQO_API VelqoV1QrSigning {
 public:
  virtual ~VelqoV1QrSigning() = default;

  /// Signs the UTF-8 bytes of `message` with the stored credential of `identifier`.
  /// Throws VelqoV1DeviceCryptoError (a stale credential is deleted before the error with
  /// shouldClearRecord set is thrown).
  virtual VelqoV1QrSignaturePayload signQrMessage(const std::string& message,
                                                  const std::string& identifier) = 0;

  /// Deletes the stored credential of `identifier`. Never throws.
  virtual void clearRecord(const std::string& identifier) = 0;

 protected:
  VelqoV1QrSigning() = default;
  VelqoV1QrSigning(const VelqoV1QrSigning&) = default;
  VelqoV1QrSigning& operator=(const VelqoV1QrSigning&) = default;
};

}  // namespace velqo
