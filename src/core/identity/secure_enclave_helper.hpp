#pragma once

// The per-user device secret and its hash (HKA), and the errors of the device-key steps.

#include <filesystem>
#include <string>

#include "velqo/platform/error.hpp"

namespace velqo {

/// A failure of a device-key step. Domain "SecureEnclaveError", code = the case's position.
class SecureEnclaveError : public platform::PlatformError {
 public:
  enum class Case {
    keyGenerationFailed,
    keyQueryFailed,
    unhandledError,
    keyNotFound,
    publicKeyRetrievalFailed,
    hashingFailed,
    secureEnclaveNotAvailable,
    interactionNotAllowed,
  };

  static SecureEnclaveError keyGenerationFailed(platform::OSStatus status);
  static SecureEnclaveError keyQueryFailed(platform::OSStatus status);
  static SecureEnclaveError unhandledError(const std::string& text);
  static SecureEnclaveError keyNotFound();
  static SecureEnclaveError publicKeyRetrievalFailed();
  static SecureEnclaveError hashingFailed();
  static SecureEnclaveError secureEnclaveNotAvailable();
  static SecureEnclaveError interactionNotAllowed();

  Case errorCase() const noexcept { return case_; }
  /// The status of keyGenerationFailed and keyQueryFailed, else 0.
  platform::OSStatus status() const noexcept { return status_; }

 private:
  SecureEnclaveError(Case errorCase, platform::OSStatus status, std::string description);
  Case case_;
  platform::OSStatus status_;
};

/// The per-user device secret: 32 random bytes kept in one file per user under
/// platform::applicationSupportDirectory(), created on first use and never sent anywhere.
/// Thread-safe. Reading is synchronous; a new secret is written to its file on the global
/// pool (the write syncs to disk twice, which a sign-in's start must not wait for),
/// and until then this process hands out the secret it already drew. Writes still pending
/// when the process exits normally are made at exit.
class SecureEnclaveHelper {
 public:
  SecureEnclaveHelper() = delete;

  /// HKA: the lower-case hexadecimal SHA-256 of the user's device secret, creating and storing
  /// the secret when the user has none yet. Throws SecureEnclaveError: keyGenerationFailed when
  /// no random secret can be drawn, unhandledError when the file cannot be read. A write that
  /// fails is logged and tried again at the next call; the secret stays the same meanwhile.
  static std::string deviceSecretHash(const std::string& userId);
  /// Writes, on the caller's thread, every new secret still waiting for its file (failures
  /// stay pending as above).
  static void finishPendingWrites();

  /// The file that holds the user's secret.
  static std::filesystem::path secretFilePath(const std::string& userId);
};

}  // namespace velqo
