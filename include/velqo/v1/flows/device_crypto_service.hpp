#pragma once

// The device side of V1 device trust: answers setup_device and device_challenge prompts,
// hands stored credentials to sign-in starts and signs QR approval messages.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "velqo/export.hpp"
#include "velqo/v1/flows/device_crypto_store.hpp"
#include "velqo/v1/flows/qr_signing.hpp"
#include "velqo/v1/protocol/device_crypto_handling.hpp"

namespace velqo {

/// The V1 device-trust service over one credential store and one project. Every operation
/// reads or writes the store, synchronously on the caller's thread (the HTTP session's
/// completion thread for the handle operations); the only state it keeps is the credential
/// it has just set up, until that credential's challenge is answered. Several threads may
/// use one service; two operations on the same identifier are not ordered against each other.
/// Created as a shared object because the credential callbacks hold it weakly.
class VELQO_API VelqoV1DeviceCryptoService final : public VelqoV1DeviceCryptoHandling,
                                                   public VelqoV1QrSigning {
 public:
  using CredentialsProvider =
      std::function<std::optional<VelqoV1DeviceCredentials>(const std::string& identifier)>;
  using CredentialsInvalidator = std::function<void(const std::string& identifier)>;

  /// A service for `projectId` over `store` (a null store gets a default store).
  static std::shared_ptr<VelqoV1DeviceCryptoService> create(std::string projectId,
                                                            std::shared_ptr<VelqoV1DeviceCryptoStore> store);

  const std::string& projectId() const noexcept { return projectId_; }
  const std::shared_ptr<VelqoV1DeviceCryptoStore>& store() const noexcept { return store_; }

  /// Makes a new credential for `identifier` (replacing any stored one) and returns the
  /// request-challenge action with its keyset, hindex and base64 sk2. Throws
  /// VelqoV1DeviceCryptoError: "invalid_identifier", "unsupported_algorithm", or
  /// "internal_error" for any failure while making or storing it (nothing is deleted).
  VelqoV1Action handleSetupDevice(const std::string& domain, const std::string& algorithm,
                                  const std::string& version, const std::string& identifier) override;

  /// Signs the challenge followed by the domain (the prompt's, else the project id) with the
  /// stored credential (or, when another process sharing the store has replaced it since
  /// this service set one up, with the one this service set up) and returns the
  /// submit-signature action. Throws
  /// VelqoV1DeviceCryptoError; every error with shouldClearRecord set has deleted the
  /// credential first.
  VelqoV1Action handleDeviceChallenge(const std::string& challenge, const std::string& challengeEncoding,
                                      const std::string& keyId, const std::string& algorithm,
                                      const std::string& domain, const std::string& combinedsalt,
                                      const std::string& responseEncoding,
                                      const std::string& identifier) override;

  /// The stored credentials (keyset, hindex, base64 sk2), or nothing; an unreadable
  /// credential is deleted. Never throws.
  std::optional<VelqoV1DeviceCredentials> deviceCredentials(const std::string& identifier) override;

  /// Deletes the identifier's credential (record and hardware key). Never throws.
  void clearRecord(const std::string& identifier) override;

  /// Signs the message's UTF-8 bytes, unchanged, with the stored credential. The credential
  /// stays in place on success. Throws VelqoV1DeviceCryptoError ("invalid_identifier",
  /// "device_not_found", or "QR signing failed" with a code by cause; the credential is
  /// deleted before any error with shouldClearRecord set).
  VelqoV1QrSignaturePayload signQrMessage(const std::string& message, const std::string& identifier) override;

  /// A callback for the client settings' credentials provider: the service's
  /// `deviceCredentials`, or nothing once the service is gone. Holds the service weakly;
  /// runs on the caller's thread; never throws.
  static CredentialsProvider makeDeviceCredentialsProvider(
      const std::shared_ptr<VelqoV1DeviceCryptoService>& service);
  /// A callback for the client settings' credentials invalidator: deletes the identifier's
  /// credential, or does nothing once the service is gone. Holds the service weakly.
  static CredentialsInvalidator makeDeviceCredentialsInvalidator(
      const std::shared_ptr<VelqoV1DeviceCryptoService>& service);

 private:
  VelqoV1DeviceCryptoService(std::string projectId, std::shared_ptr<VelqoV1DeviceCryptoStore> store);

  struct PendingSetups;

  std::string projectId_;
  std::shared_ptr<VelqoV1DeviceCryptoStore> store_;
  std::shared_ptr<PendingSetups> pending_;
};

}  // namespace velqo
