#pragma once

// VelqoV1FlowController: the host application's handle on one server-driven V1 flow.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "velqo/export.hpp"
#include "velqo/platform/clock.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/v1/flows/flow_update.hpp"
#include "velqo/v1/protocol/actions.hpp"
#include "velqo/v1/protocol/client.hpp"
#include "velqo/v1/protocol/flow_state.hpp"

namespace velqo {

/// Drives one V1 flow over a protocol client: every user step becomes one action sent
/// through the client, and every state the client delivers for it becomes at most one
/// VelqoV1FlowUpdate for `onUpdate`. On the way the controller names the step the user is
/// in, picks the primary sign-in method by itself for e-mail and phone identifiers (policy
/// `automaticFromIdentifier`, sign-in flows only), submits a phone identifier as the SMS
/// number once per session, polls an awaited approval and reports its expiry
/// ("session_expired"), gates code resends by the service's resend time, and reports
/// device-trust prompts that reach it as "device_crypto_unconfigured".
///
/// Threads: every operation may be called from any thread and returns at once; the answer
/// arrives later. Each update is queued as one block on `callbackQueue()`, in the order the
/// updates are produced, and the block reads `onUpdate` when it runs: an update delivered
/// while no handler is set is dropped. No update is ever delivered from inside an operation
/// call. State handling runs on the HTTP session's completion thread; poll ticks run on the
/// global queue of utility quality of service. The controller's fields are guarded by its own
/// mutex, which is never held while it calls the client, the queue, the timer or `onUpdate`.
///
/// Ownership: made by `create` and held through std::shared_ptr. The controller holds its
/// client strongly and the poll timer alone. Queued updates, pending answers and poll ticks
/// hold the controller weakly: releasing the last owner ends polling and drops every later
/// answer and update. Failures never throw; they arrive as `error` updates.
class VELQO_API VelqoV1FlowController : public std::enable_shared_from_this<VelqoV1FlowController> {
 public:
  /// Receives every update, on the callback queue. Exceptions it throws are caught and dropped.
  using UpdateHandler = std::function<void(const VelqoV1FlowUpdate&)>;

  /// A controller over `client`. With `autoPollApprovals` an awaited approval is polled every
  /// max(pollInterval, 1) seconds until another answer arrives or it expires. Nothing is sent
  /// or emitted. Throws std::invalid_argument for a null client or queue.
  static std::shared_ptr<VelqoV1FlowController> create(
      std::shared_ptr<VelqoProtocolV1Client> client, bool autoPollApprovals = true,
      VelqoV1PrimaryMethodSelectionPolicy primaryMethodSelectionPolicy =
          VelqoV1PrimaryMethodSelectionPolicy::manual,
      std::shared_ptr<platform::DispatchQueue> callbackQueue = platform::mainQueueHandle());
  ~VelqoV1FlowController();
  VelqoV1FlowController(const VelqoV1FlowController&) = delete;
  VelqoV1FlowController& operator=(const VelqoV1FlowController&) = delete;

  const std::shared_ptr<VelqoProtocolV1Client>& client() const noexcept { return client_; }
  bool autoPollApprovals() const noexcept { return autoPollApprovals_; }
  VelqoV1PrimaryMethodSelectionPolicy primaryMethodSelectionPolicy() const noexcept { return policy_; }
  const std::shared_ptr<platform::DispatchQueue>& callbackQueue() const noexcept { return callbackQueue_; }

  /// The host's receiver; may be set, replaced or cleared (empty function) at any time.
  UpdateHandler onUpdate() const;
  void setOnUpdate(UpdateHandler handler);

  /// Begins a new flow, discarding the previous one (its poll timer stops; nothing is
  /// emitted). A sign-in looks up stored device credentials; without a non-blank
  /// `codeChallenge` a PKCE pair is made and its verifier is handed out with `completed`.
  void start(VelqoV1FlowType flowType, const std::string& identifier,
             std::optional<std::string> startToken = std::nullopt,
             std::optional<std::string> inviteCode = std::nullopt,
             std::optional<std::string> codeChallenge = std::nullopt,
             std::optional<VelqoV1DeviceInfo> device = std::nullopt);

  /// One operation per user step; each sends its action with the text unchanged.
  void selectMethod(const std::string& methodId);
  void submitCode(const std::string& code);
  void submitTotp(const std::string& code);
  void submitPhone(const std::string& phone);
  void oauthCallback(const std::string& code, const std::string& state);
  /// Sends the resend action and returns true, unless the last enter-code prompt named a
  /// resend time that has not come yet: then nothing is sent and it returns false.
  bool resend();
  /// Polls the flow once (an answer that repeats the awaited approval emits nothing).
  void poll();
  /// Stops the poll timer and sends the cancel action; the answer is handled like any other.
  void cancel();
  /// Stops the poll timer, forgets the flow, puts the client back to idle and emits `idle`.
  void reset();

  /// True only when a resend time is known and `now` is not earlier than it.
  bool canResend(platform::WallClock::time_point now) const;

 private:
  // Only `create` can make one: a private constructor keeps it from being an aggregate
  // that `{}` would build anywhere.
  class Passkey {
    Passkey() = default;
    friend class VelqoV1FlowController;
  };

 public:
  /// Use `create`.
  VelqoV1FlowController(Passkey, std::shared_ptr<VelqoProtocolV1Client> client, bool autoPollApprovals,
                        VelqoV1PrimaryMethodSelectionPolicy policy,
                        std::shared_ptr<platform::DispatchQueue> callbackQueue);

 private:
  struct State;
  struct Effects;
  struct PromptHandling;
  /// Whether a step comes from the host (shown again even when unchanged) or from polling.
  enum class UserAction : bool { no, yes };

  VelqoProtocolV1Client::Completion completionFor(UserAction userAction);
  void send(VelqoV1Action action, UserAction userAction);
  void handleState(const VelqoV1FlowState& state, bool isUserAction);
  void handlePrompt(const VelqoV1FlowState::Prompt& prompt, bool isUserAction, Effects& effects);
  void startPollTimer(const std::string& expiresAt, std::int64_t pollInterval, const std::string& session,
                      Effects& effects);
  void tick(std::uint64_t timerId, std::optional<platform::WallClock::time_point> expiry,
            const std::string& session);
  void stopTimer(Effects& effects);
  void apply(Effects& effects);
  void flushUpdates();

  const std::shared_ptr<VelqoProtocolV1Client> client_;
  const bool autoPollApprovals_;
  const VelqoV1PrimaryMethodSelectionPolicy policy_;
  const std::shared_ptr<platform::DispatchQueue> callbackQueue_;
  std::unique_ptr<State> state_;
};

}  // namespace velqo
