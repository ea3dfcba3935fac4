#pragma once

// VelqoV1SDK: the public entry object of the V1 protocol.

#include <memory>
#include <optional>
#include <string>

#include "velqo/export.hpp"
#include "velqo/v1/flows/device_crypto_service.hpp"
#include "velqo/v1/flows/flow_controller.hpp"
#include "velqo/v1/protocol/actions.hpp"
#include "velqo/v1/protocol/client.hpp"
#include "velqo/v1/protocol/flow_state.hpp"

namespace velqo {

/// Builds and owns the whole V1 object graph for one configuration: the device credential
/// store and the device-trust service (`crypto`), the protocol client on the shared HTTP
/// session (`client`) and the flow controller that delivers updates on the main queue
/// (`flow`). Start a flow here, then set `flow()->setOnUpdate(...)` and drive every further
/// step through `flow()`.
///
/// Ownership: the entry object holds the service, the client and the controller; the
/// controller holds the client; the client's settings hold the service as device-trust
/// handler; the credential callbacks of the settings hold the service weakly; nothing holds
/// the entry object. Releasing it (with nothing else holding its controller) ends every
/// effect: answers in flight, re-sends, poll ticks and queued updates then do nothing. Stored
/// device credentials stay.
///
/// Threads: construction, `start` and `reset` run on the caller's thread and return at once;
/// updates arrive on the main queue, which the host drives. Construction never fails and
/// sends nothing.
class VELQO_API VelqoV1SDK {
 public:
  /// Uses `configId` unchanged as configuration and project identifier.
  static std::shared_ptr<VelqoV1SDK> create(std::string configId, const std::string& baseURL,
                                            std::optional<std::string> sdkVersion = std::nullopt,
                                            std::optional<std::string> relyingParty = std::nullopt,
                                            bool autoPollApprovals = true,
                                            VelqoV1PrimaryMethodSelectionPolicy primaryMethodSelectionPolicy =
                                                VelqoV1PrimaryMethodSelectionPolicy::manual);

  /// Uses `apiKey` trimmed of white space and line breaks when that is non-empty, else
  /// `projectId` trimmed the same way, as configuration and project identifier.
  static std::shared_ptr<VelqoV1SDK> createWithProjectId(
      const std::string& projectId, const std::optional<std::string>& apiKey, const std::string& baseURL,
      std::optional<std::string> sdkVersion = std::nullopt,
      std::optional<std::string> relyingParty = std::nullopt, bool autoPollApprovals = true,
      VelqoV1PrimaryMethodSelectionPolicy primaryMethodSelectionPolicy =
          VelqoV1PrimaryMethodSelectionPolicy::manual);

  VelqoV1SDK(const VelqoV1SDK&) = delete;
  VelqoV1SDK& operator=(const VelqoV1SDK&) = delete;

  const std::string& configId() const noexcept { return configId_; }
  /// The same text as `configId`.
  const std::string& projectId() const noexcept { return projectId_; }
  /// The normalised V1 base URL (see normalizedV1BaseURL).
  const std::string& baseURL() const noexcept { return baseURL_; }
  /// The given version (also when empty), else defaultSdkVersion().
  const std::string& sdkVersion() const noexcept { return sdkVersion_; }
  const std::shared_ptr<VelqoV1DeviceCryptoService>& crypto() const noexcept { return crypto_; }
  const std::shared_ptr<VelqoProtocolV1Client>& client() const noexcept { return client_; }
  const std::shared_ptr<VelqoV1FlowController>& flow() const noexcept { return flow_; }

  /// Builds the device information for `identifier` (left out when it cannot be built) and
  /// starts the flow through `flow()`. Returns at once; the first update comes from the
  /// service's answer.
  void start(VelqoV1FlowType flowType, const std::string& identifier,
             std::optional<std::string> startToken = std::nullopt,
             std::optional<std::string> inviteCode = std::nullopt,
             std::optional<std::string> codeChallenge = std::nullopt);

  /// `flow()->reset()`: stops polling, forgets the flow, puts the client back to idle and
  /// emits `idle`.
  void reset();

  /// The base URL with its path reduced to its non-empty segments, trailing "v1" and
  /// "vq_auth" segments (any letter case) removed, and "v1" appended: "https://h/api/" gives
  /// "https://h/api/v1", "https://h" gives "https://h/v1". Scheme, host, port, query and
  /// fragment stay. A text that is not an absolute URL is returned unchanged.
  static std::string normalizedV1BaseURL(const std::string& baseURL);

  /// This library's own version (it ships without an application bundle), else "unknown".
  static std::string defaultSdkVersion();

 private:
  // Only `create` can make one: a private constructor keeps it from being an aggregate
  // that `{}` would build anywhere.
  class Passkey {
    Passkey() = default;
    friend class VelqoV1SDK;
  };

 public:
  /// Use `create` or `createWithProjectId`.
  VelqoV1SDK(Passkey, std::string identifier, const std::string& baseURL,
             std::optional<std::string> sdkVersion, std::optional<std::string> relyingParty,
             bool autoPollApprovals, VelqoV1PrimaryMethodSelectionPolicy primaryMethodSelectionPolicy);

 private:
  std::string configId_;
  std::string projectId_;
  std::string baseURL_;
  std::string sdkVersion_;
  std::shared_ptr<VelqoV1DeviceCryptoService> crypto_;
  std::shared_ptr<VelqoProtocolV1Client> client_;
  std::shared_ptr<VelqoV1FlowController> flow_;
};

}  // namespace velqo
