#pragma once

// VelqoProtocolV1Client: the one component that talks to the V1 endpoint of the service.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "velqo/export.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/v1/protocol/actions.hpp"
#include "velqo/v1/protocol/client_config.hpp"
#include "velqo/v1/protocol/flow_state.hpp"

namespace velqo {

/// Sends one V1 action per step and turns the answer into the next VelqoV1FlowState.
///
/// Each step posts the action in a request envelope to `config.baseURL()` + "/auth", re-sends
/// after transport errors and "retry request" errors with exponential back-off (and after
/// "wait" errors when `autoRetryWait` is on), decodes the answer whatever its HTTP status,
/// answers the setup_device and device_challenge prompts itself through the settings'
/// device-trust handler, and reports every failure as an error state with a user-facing
/// message; nothing is thrown to the caller.
///
/// Threads: a call runs on the caller's thread until its request is handed to the HTTP
/// session. Answers, handler calls, the invalidator, follow-up sends, `onStateChange` and the
/// completions run on the session's completion thread; delayed re-sends start on the global
/// queue of default quality of service. A request whose envelope cannot be encoded completes
/// synchronously, before the call returns. Every call is safe from any thread: the client's
/// fields are guarded by its own mutex, which is never held while it calls out.
///
/// Ownership: made by `create` and held through std::shared_ptr. Requests in flight and
/// scheduled re-sends hold the client weakly: once the last owner releases it, they do
/// nothing and their completions are never called. The client owns its settings (and so the
/// device-trust handler) and shares the HTTP session.
///
/// Each step ends in exactly one completion call with a final state (prompt, completed or
/// error; never loading), unless the client is released first. Exceptions thrown by a
/// completion or by `onStateChange` are caught and dropped. The client neither queues nor
/// cancels requests: overlapping steps overwrite the state in arrival order.
class VELQO_API VelqoProtocolV1Client : public std::enable_shared_from_this<VelqoProtocolV1Client> {
 public:
  /// Receives the final state of one step.
  using Completion = std::function<void(const VelqoV1FlowState&)>;
  /// Receives every new state (loading included), right after it is stored.
  using StateChangeHook = std::function<void(const VelqoV1FlowState&)>;

  /// A PKCE pair: a 43-character base64url verifier and its S256 challenge.
  struct PkcePair {
    std::string verifier;
    std::string challenge;
  };

  /// A client with these settings on this session; idle, with no session, hook or current
  /// fields. Throws std::invalid_argument for a null session.
  static std::shared_ptr<VelqoProtocolV1Client> create(VelqoV1ClientConfig config,
                                                       std::shared_ptr<platform::HttpSession> urlSession);
  ~VelqoProtocolV1Client();
  VelqoProtocolV1Client(const VelqoProtocolV1Client&) = delete;
  VelqoProtocolV1Client& operator=(const VelqoProtocolV1Client&) = delete;

  const VelqoV1ClientConfig& config() const noexcept { return config_; }
  /// The session of the flow under way: cleared by `start` and `reset`, set by every decoded
  /// answer, sent in every request envelope.
  std::optional<std::string> session() const;
  /// The latest state (idle after construction).
  VelqoV1FlowState state() const;
  /// The hook for every new state; empty to remove it. It may be called from several threads
  /// when steps overlap, so it must be thread-safe.
  void setOnStateChange(StateChangeHook hook);
  StateChangeHook onStateChange() const;

  /// Starts a flow: clears the session, makes `identifier` (untrimmed) the current identifier
  /// and "primary" the phase, looks up stored device credentials for a sign-in without given
  /// ones (the settings' provider first, then the handler), makes a PKCE pair unless a
  /// non-blank code challenge is given, and sends the start action.
  void start(VelqoV1FlowType flowType, std::string identifier, std::optional<std::string> startToken,
             std::optional<std::string> inviteCode, std::optional<std::string> codeChallenge,
             std::optional<VelqoV1DeviceInfo> device,
             std::optional<VelqoV1DeviceCredentials> deviceCredentials, Completion completion);

  /// Sends any action: the entry point of every step. Sets the loading state first.
  void send(VelqoV1Action action, Completion completion);

  /// One operation per user step; each sends the action of the same name.
  void selectMethod(std::string methodId, Completion completion);
  void submitCode(std::string code, Completion completion);
  void submitTotp(std::string code, Completion completion);
  void submitPhone(std::string phone, Completion completion);
  void requestChallenge(std::string keyset, std::string hindex, std::string sk2, Completion completion);
  void submitSignature(std::string keyId, std::string signature, std::string mapp, Completion completion);
  void oauthCallback(std::string code, std::string state, Completion completion);
  void resend(Completion completion);
  void poll(Completion completion);
  void cancel(Completion completion);

  /// Back to idle: session and current fields cleared, `onStateChange` called with idle. A
  /// request under way is not cancelled: its answer still sets its state and completes.
  void reset();

  /// 32 random bytes as a base64url verifier without padding and the base64url SHA-256 of
  /// its text as challenge; nothing when the random generator fails.
  static std::optional<PkcePair> makePkcePair();

  /// The identifier of the flow under way, as given (untrimmed).
  std::optional<std::string> currentIdentifier() const;
  /// The PKCE verifier kept for the completed state.
  std::optional<std::string> currentCodeVerifier() const;
  /// The phase of the flow ("primary" at a start, then as the answers say).
  std::optional<std::string> currentPhase() const;

 private:
  // Only `create` can make one: a private constructor keeps it from being an aggregate
  // that `{}` would build anywhere.
  class Passkey {
    Passkey() = default;
    friend class VelqoProtocolV1Client;
  };

 public:
  /// Use `create`.
  VelqoProtocolV1Client(Passkey, VelqoV1ClientConfig config,
                        std::shared_ptr<platform::HttpSession> urlSession);

 private:
  struct Impl;
  friend struct Impl;
  struct State;

  const VelqoV1ClientConfig config_;
  const std::shared_ptr<platform::HttpSession> urlSession_;
  const std::string endpointURL_;  // config_.baseURL() + "/auth"
  const std::unique_ptr<State> state_;
};

}  // namespace velqo
