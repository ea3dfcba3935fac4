#include "velqo/v1/flows/flow_controller.hpp"

#include <algorithm>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/logging/debug_sink_state.hpp"
#include "platform/encoding.hpp"
#include "v1/flows/flow/automatic_choices.hpp"
#include "v1/flows/flow/flow_support.hpp"
#include "v1/protocol/diagnostics.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/bytes.hpp"

namespace velqo {

namespace {

using platform::WallClock;

constexpr const char* kSecondFactorId = "mfa";
constexpr const char* kSecondFactorLabel = "Second Factor";

VelqoV1StepInfo secondFactorStep() {
  return VelqoV1StepInfo{kSecondFactorId, std::string(kSecondFactorLabel)};
}

// The controller's own event lines: neither redacted nor thinned out.
std::string controllerEventLine(std::string_view event, v1::detail::EventFields fields) {
  v1::detail::EventLineOptions options;
  options.dropEmpty = false;
  options.redact = false;
  return v1::detail::composeEventLine(event, std::move(fields), options);
}

}  // namespace

// Every mutable field of the controller. All of it is guarded by `mutex`: the host's calls,
// the HTTP session's completion thread and the poll timer's queue all reach it.
struct VelqoV1FlowController::State {
  mutable std::mutex mutex;
  UpdateHandler onUpdate;

  std::unique_ptr<platform::TimerSource> pollTimer;
  // Identifies the running poll timer, so a tick that was already under way when its timer
  // was stopped (by a reset, a new prompt, ...) recognises itself as stale and does nothing.
  std::uint64_t pollTimerId = 0;
  std::uint64_t lastTimerId = 0;

  std::optional<std::string> lastAwaitSession;
  std::optional<VelqoV1Prompt> lastAwaitPrompt;
  std::optional<WallClock::time_point> lastResendAt;
  std::optional<VelqoV1ResponseMeta> lastMeta;
  std::optional<VelqoV1StepInfo> lastStepInfo;
  bool awaitingCodeSubmitResult = false;
  bool lastPromptWasEnterCode = false;
  std::optional<VelqoV1FlowType> currentFlowType;
  std::optional<std::string> currentIdentifier;
  std::set<std::string> autoSubmittedSetupSmsSessions;
  std::set<std::string> autoSelectedMethodSessions;
  // One automatic answer of each kind until the host has been shown a prompt: a service may
  // name a new session in every answer, so the per-session sets alone do not end a loop.
  bool autoSelectedSinceShown = false;
  bool autoSubmittedSmsSinceShown = false;

  // Updates produced but not yet handed to the callback queue, in production order. One
  // thread at a time hands them over (`flushing`), so the queue receives them in that order
  // even when several threads produce updates at once.
  std::deque<VelqoV1FlowUpdate> outbox;
  bool flushing = false;

  // Everything a new flow starts without (the poll timer is stopped separately).
  void forgetFlow() {
    lastAwaitSession.reset();
    lastAwaitPrompt.reset();
    lastResendAt.reset();
    lastMeta.reset();
    lastStepInfo.reset();
    awaitingCodeSubmitResult = false;
    lastPromptWasEnterCode = false;
    autoSubmittedSetupSmsSessions.clear();
    autoSelectedMethodSessions.clear();
    autoSelectedSinceShown = false;
    autoSubmittedSmsSinceShown = false;
  }
};

// What a step decided under the lock and carries out after releasing it.
struct VelqoV1FlowController::Effects {
  std::vector<std::unique_ptr<platform::TimerSource>> stoppedTimers;
  std::vector<std::string> logLines;
  std::optional<VelqoV1Action> followUp;
};

std::shared_ptr<VelqoV1FlowController> VelqoV1FlowController::create(
    std::shared_ptr<VelqoProtocolV1Client> client, bool autoPollApprovals,
    VelqoV1PrimaryMethodSelectionPolicy primaryMethodSelectionPolicy,
    std::shared_ptr<platform::DispatchQueue> callbackQueue) {
  if (!client) throw std::invalid_argument("VelqoV1FlowController needs a client");
  if (!callbackQueue) throw std::invalid_argument("VelqoV1FlowController needs a callback queue");
  return std::make_shared<VelqoV1FlowController>(Passkey{}, std::move(client), autoPollApprovals,
                                                 primaryMethodSelectionPolicy, std::move(callbackQueue));
}

VelqoV1FlowController::VelqoV1FlowController(Passkey, std::shared_ptr<VelqoProtocolV1Client> client,
                                             bool autoPollApprovals,
                                             VelqoV1PrimaryMethodSelectionPolicy policy,
                                             std::shared_ptr<platform::DispatchQueue> callbackQueue)
    : client_(std::move(client)),
      autoPollApprovals_(autoPollApprovals),
      policy_(policy),
      callbackQueue_(std::move(callbackQueue)),
      state_(std::make_unique<State>()) {}

// Destroying the state destroys the poll timer, which cancels it.
VelqoV1FlowController::~VelqoV1FlowController() = default;

VelqoV1FlowController::UpdateHandler VelqoV1FlowController::onUpdate() const {
  std::lock_guard lock(state_->mutex);
  return state_->onUpdate;
}

void VelqoV1FlowController::setOnUpdate(UpdateHandler handler) {
  UpdateHandler previous;
  {
    std::lock_guard lock(state_->mutex);
    previous = std::exchange(state_->onUpdate, std::move(handler));
  }
  // `previous` (and whatever it captured) is released outside the lock.
}

// ---------------------------------------------------------------------------------------
// Host operations

void VelqoV1FlowController::start(VelqoV1FlowType flowType, const std::string& identifier,
                                  std::optional<std::string> startToken,
                                  std::optional<std::string> inviteCode,
                                  std::optional<std::string> codeChallenge,
                                  std::optional<VelqoV1DeviceInfo> device) {
  Effects effects;
  {
    std::lock_guard lock(state_->mutex);
    stopTimer(effects);
    state_->forgetFlow();
    state_->currentFlowType = flowType;
    state_->currentIdentifier = platform::trimWhitespace(identifier);
  }
  apply(effects);

  // The client's own start: credential lookup, PKCE pair, the start line and the send.
  client_->start(flowType, identifier, std::move(startToken), std::move(inviteCode), std::move(codeChallenge),
                 std::move(device), std::nullopt, completionFor(UserAction::yes));
}

void VelqoV1FlowController::selectMethod(const std::string& methodId) {
  send(VelqoV1Action::selectMethod(methodId), UserAction::yes);
}

void VelqoV1FlowController::submitCode(const std::string& code) {
  {
    std::lock_guard lock(state_->mutex);
    state_->awaitingCodeSubmitResult = true;
  }
  send(VelqoV1Action::submitCode(code), UserAction::yes);
}

void VelqoV1FlowController::submitTotp(const std::string& code) {
  send(VelqoV1Action::submitTotp(code), UserAction::yes);
}

void VelqoV1FlowController::submitPhone(const std::string& phone) {
  send(VelqoV1Action::submitPhone(phone), UserAction::yes);
}

void VelqoV1FlowController::oauthCallback(const std::string& code, const std::string& state) {
  send(VelqoV1Action::oauthCallback(code, state), UserAction::yes);
}

bool VelqoV1FlowController::resend() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->lastResendAt && platform::now() < *state_->lastResendAt) return false;
  }
  send(VelqoV1Action::resend(), UserAction::yes);
  return true;
}

void VelqoV1FlowController::poll() {
  send(VelqoV1Action::poll(), UserAction::no);
}

void VelqoV1FlowController::cancel() {
  Effects effects;
  {
    std::lock_guard lock(state_->mutex);
    stopTimer(effects);
  }
  apply(effects);
  send(VelqoV1Action::cancel(), UserAction::yes);
}

void VelqoV1FlowController::reset() {
  Effects effects;
  {
    std::lock_guard lock(state_->mutex);
    stopTimer(effects);
    state_->forgetFlow();
    state_->currentFlowType.reset();
    state_->currentIdentifier.reset();
  }
  apply(effects);
  client_->reset();
  {
    std::lock_guard lock(state_->mutex);
    state_->outbox.push_back(VelqoV1FlowUpdate::idle());
  }
  flushUpdates();
}

bool VelqoV1FlowController::canResend(platform::WallClock::time_point now) const {
  std::lock_guard lock(state_->mutex);
  return state_->lastResendAt && now >= *state_->lastResendAt;
}

// ---------------------------------------------------------------------------------------
// Sending and state handling

VelqoProtocolV1Client::Completion VelqoV1FlowController::completionFor(UserAction userAction) {
  // The completion holds the controller weakly: an answer that arrives after the controller
  // is gone does nothing.
  return [weak = weak_from_this(), userAction](const VelqoV1FlowState& state) {
    if (auto self = weak.lock()) self->handleState(state, userAction == UserAction::yes);
  };
}

void VelqoV1FlowController::send(VelqoV1Action action, UserAction userAction) {
  client_->send(std::move(action), completionFor(userAction));
}

void VelqoV1FlowController::handleState(const VelqoV1FlowState& state, bool isUserAction) {
  Effects effects;
  try {
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    switch (state.kind()) {
      case VelqoV1FlowState::Case::loading:
        s.outbox.push_back(*state.as<VelqoV1FlowState::Loading>());
        break;
      case VelqoV1FlowState::Case::prompt: {
        const auto& prompt = *state.as<VelqoV1FlowState::Prompt>();
        s.lastMeta = prompt.meta;
        handlePrompt(prompt, isUserAction, effects);
        break;
      }
      case VelqoV1FlowState::Case::completed: {
        const auto& completed = *state.as<VelqoV1FlowState::Completed>();
        stopTimer(effects);
        s.awaitingCodeSubmitResult = false;
        s.lastPromptWasEnterCode = false;
        VelqoV1ResponseMeta meta = s.lastMeta.value_or(VelqoV1ResponseMeta{"", completed.expiresAt});
        s.outbox.push_back(VelqoV1FlowUpdate::Completed{completed.session, completed.authCode,
                                                        completed.expiresAt, completed.codeVerifier,
                                                        std::move(meta)});
        break;
      }
      case VelqoV1FlowState::Case::error: {
        const auto& error = *state.as<VelqoV1FlowState::Error>();
        stopTimer(effects);
        s.awaitingCodeSubmitResult = false;
        s.lastPromptWasEnterCode = false;
        s.outbox.push_back(VelqoV1FlowUpdate::Error{error.session, error.code, error.action, error.message,
                                                    error.retryable, error.details, s.lastMeta});
        break;
      }
      case VelqoV1FlowState::Case::idle:
        s.outbox.push_back(VelqoV1FlowUpdate::idle());
        break;
    }
  } catch (...) {
    // A step that failed half-way (out of memory, a timer that could not start) still hands
    // over every update it queued; the stopped timers are cancelled as `effects` goes.
    flushUpdates();
    throw;
  }
  apply(effects);
}

// The per-prompt steps of the prompt handling. Everything here runs under the lock.
struct VelqoV1FlowController::PromptHandling {
  using Controller = VelqoV1FlowController;

  // What every prompt case works with: the answer, its context and where the results go.
  struct Step {
    Controller& controller;
    State& s;
    Effects& effects;
    const VelqoV1FlowState::Prompt& response;
    const VelqoV1PromptContext& context;
    bool isUserAction;

    const std::string& session() const { return response.session; }
    void show(VelqoV1UserPrompt prompt) const {
      s.autoSelectedSinceShown = false;
      s.autoSubmittedSmsSinceShown = false;
      s.outbox.push_back(VelqoV1FlowUpdate::Prompt{context, std::move(prompt)});
    }
    v1::detail::AutomaticChoiceInputs inputs() const {
      return {controller.policy_, s.currentFlowType, s.currentIdentifier, &s.autoSubmittedSetupSmsSessions,
              &s.autoSelectedMethodSessions};
    }
    // The phase named in the automatic choices' lines.
    std::string phase(std::optional<std::string> fallback) const {
      if (context.stepInfo()) return context.stepInfo()->id;
      return fallback.value_or(std::string("primary"));
    }
  };

  // The step information of this prompt: the answer's own, else one derived from the prompt
  // and the flags (read before this prompt's case changes them), else the last one.
  static std::optional<VelqoV1StepInfo> stepInfo(State& s, const VelqoV1FlowState::Prompt& response) {
    const VelqoV1Prompt& prompt = response.prompt;
    const bool afterCodeSubmit = s.awaitingCodeSubmitResult && s.lastPromptWasEnterCode;
    std::optional<VelqoV1StepInfo> chosen;
    if (response.promptMeta && response.promptMeta->stepInfo) {
      chosen = *response.promptMeta->stepInfo;
    } else {
      switch (prompt.kind()) {
        case VelqoV1Prompt::Case::selectMethod:
          if (const auto& phase = prompt.as<VelqoV1Prompt::SelectMethod>()->phase) {
            chosen = VelqoV1StepInfo{*phase, v1::detail::stepLabel(*phase)};
          }
          break;
        case VelqoV1Prompt::Case::enterCode:
          if (afterCodeSubmit) {
            chosen = secondFactorStep();
          } else if (!s.lastStepInfo) {
            chosen = VelqoV1StepInfo{"primary", std::string("Verify Identity")};
          }
          break;
        case VelqoV1Prompt::Case::setupTotp:
        case VelqoV1Prompt::Case::setupSms:
        case VelqoV1Prompt::Case::enterTotp:
          if (afterCodeSubmit) chosen = secondFactorStep();
          break;
        default:
          break;
      }
    }
    if (chosen) s.lastStepInfo = chosen;
    return s.lastStepInfo;
  }

  // A prompt the host answers as it is (setup_totp, redirect, enter_totp).
  static void show(const Step& step, VelqoV1UserPrompt prompt) {
    step.controller.stopTimer(step.effects);
    step.s.lastPromptWasEnterCode = false;
    step.show(std::move(prompt));
  }

  // A prompt this controller cannot pass on: an error update instead.
  static void refuse(const Step& step, const char* code, const char* message) {
    step.controller.stopTimer(step.effects);
    step.s.lastPromptWasEnterCode = false;
    step.s.outbox.push_back(VelqoV1FlowUpdate::Error{step.session(), code, std::nullopt, message, false,
                                                     std::nullopt, step.response.meta});
  }

  static void selectMethod(const Step& step, const VelqoV1Prompt::SelectMethod& select) {
    step.controller.stopTimer(step.effects);
    std::optional<std::string> methodId;
    if (!step.s.autoSelectedSinceShown) {
      methodId =
          v1::detail::autoSelectPrimaryMethod(step.inputs(), select.methods, step.session(), step.context);
    }
    if (!methodId) {
      step.show(select);
      return;
    }
    step.s.autoSelectedMethodSessions.insert(step.session());
    step.s.autoSelectedSinceShown = true;
    step.s.lastPromptWasEnterCode = false;
    if (detail::debugSinkInstalled()) {
      step.effects.logLines.push_back(controllerEventLine(
          "auto_select_primary_method", {{"session", step.session()},
                                         {"phase", step.phase(select.phase)},
                                         {"methodId", *methodId},
                                         {"policy", std::string("automaticFromIdentifier")}}));
    }
    step.effects.followUp = VelqoV1Action::selectMethod(std::move(*methodId));
  }

  static void enterCode(const Step& step, const VelqoV1Prompt::EnterCode& enter) {
    step.controller.stopTimer(step.effects);
    step.s.lastResendAt = v1::detail::parseFlowDate(enter.resendAt);
    step.s.lastPromptWasEnterCode = true;
    step.show(enter);
  }

  static void setupSms(const Step& step, const VelqoV1Prompt::SetupSms& sms) {
    step.controller.stopTimer(step.effects);
    step.s.lastPromptWasEnterCode = false;
    std::optional<std::string> phone;
    if (!step.s.autoSubmittedSmsSinceShown) {
      phone =
          v1::detail::autoSubmitSetupSmsPhone(step.inputs(), sms.existingPhone, step.session(), step.context);
    }
    if (!phone) {
      step.show(sms);
      return;
    }
    step.s.autoSubmittedSetupSmsSessions.insert(step.session());
    step.s.autoSubmittedSmsSinceShown = true;
    if (detail::debugSinkInstalled()) {
      step.effects.logLines.push_back(
          controllerEventLine("auto_submit_setup_sms", {{"session", step.session()},
                                                        {"phase", step.phase(std::nullopt)},
                                                        {"identifierKind", std::string("phone")}}));
    }
    step.effects.followUp = VelqoV1Action::submitPhone(std::move(*phone));
  }

  // Shown once per session unless the user acted; polled while auto-polling is on.
  static void awaitApproval(const Step& step, const VelqoV1Prompt::AwaitApproval& await) {
    State& s = step.s;
    s.lastPromptWasEnterCode = false;
    const bool repeatedByPoll = !step.isUserAction && s.lastAwaitSession == step.session();
    if (!repeatedByPoll) step.show(await);
    s.lastAwaitSession = step.session();
    s.lastAwaitPrompt = step.response.prompt;
    if (step.controller.autoPollApprovals_) {
      step.controller.startPollTimer(await.expiresAt, await.pollInterval, step.session(), step.effects);
    }
  }
};

// Runs under the lock.
void VelqoV1FlowController::handlePrompt(const VelqoV1FlowState::Prompt& response, bool isUserAction,
                                         Effects& effects) {
  State& s = *state_;
  const VelqoV1Prompt& prompt = response.prompt;
  const VelqoV1Prompt::Case kind = prompt.kind();

  // Only an enter-code prompt keeps the resend time, only an approval the awaited session.
  if (kind != VelqoV1Prompt::Case::enterCode) s.lastResendAt.reset();
  if (kind != VelqoV1Prompt::Case::awaitApproval) {
    s.lastAwaitSession.reset();
    s.lastAwaitPrompt.reset();
  }

  std::optional<VelqoV1RiskInfo> risk;
  std::optional<std::string> codeChannel;
  if (response.promptMeta) {
    risk = response.promptMeta->risk;
    codeChannel = response.promptMeta->codeChannel;
  }
  const VelqoV1PromptContext context(response.session, response.meta, PromptHandling::stepInfo(s, response),
                                     std::move(risk), std::move(codeChannel));
  const PromptHandling::Step step{*this, s, effects, response, context, isUserAction};

  using P = VelqoV1Prompt;
  switch (kind) {
    case P::Case::selectMethod:
      PromptHandling::selectMethod(step, *prompt.as<P::SelectMethod>());
      break;
    case P::Case::enterCode:
      PromptHandling::enterCode(step, *prompt.as<P::EnterCode>());
      break;
    case P::Case::setupTotp:
      PromptHandling::show(step, *prompt.as<P::SetupTotp>());
      break;
    case P::Case::setupSms:
      PromptHandling::setupSms(step, *prompt.as<P::SetupSms>());
      break;
    case P::Case::redirect:
      PromptHandling::show(step, *prompt.as<P::Redirect>());
      break;
    case P::Case::awaitApproval:
      PromptHandling::awaitApproval(step, *prompt.as<P::AwaitApproval>());
      break;
    case P::Case::enterTotp:
      PromptHandling::show(step, VelqoV1UserPrompt::EnterTotp{});
      break;
    case P::Case::setupDevice:
    case P::Case::deviceChallenge:
      PromptHandling::refuse(step, "device_crypto_unconfigured",
                             "Device trust prompt received but no crypto handler is configured");
      break;
    case P::Case::completed:
    case P::Case::error:
    case P::Case::unknown:
      PromptHandling::refuse(step, "invalid_prompt", "Unexpected prompt type");
      break;
  }
  s.awaitingCodeSubmitResult = false;
}

// ---------------------------------------------------------------------------------------
// Approval polling

// Runs under the lock. Creating and starting a timer only queues work on the global queue;
// nothing in it waits for, or calls back into, this controller synchronously.
void VelqoV1FlowController::startPollTimer(const std::string& expiresAt, std::int64_t pollInterval,
                                           const std::string& session, Effects& effects) {
  stopTimer(effects);
  const std::optional<WallClock::time_point> expiry = v1::detail::parseFlowDate(expiresAt);
  const std::uint64_t timerId = ++state_->lastTimerId;
  auto timer =
      platform::TimerSource::create(platform::globalQueue(platform::QualityOfService::utility),
                                    v1::detail::approvalPollPeriod(pollInterval), platform::Duration::zero(),
                                    [weak = weak_from_this(), timerId, expiry, session] {
                                      if (auto self = weak.lock()) self->tick(timerId, expiry, session);
                                    });
  timer->resume();
  state_->pollTimer = std::move(timer);
  state_->pollTimerId = timerId;
}

void VelqoV1FlowController::tick(std::uint64_t timerId, std::optional<platform::WallClock::time_point> expiry,
                                 const std::string& session) {
  Effects effects;
  bool pollNow = false;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->pollTimer || state_->pollTimerId != timerId) return;  // stopped meanwhile
    if (expiry && platform::now() >= *expiry) {
      stopTimer(effects);
      state_->outbox.push_back(VelqoV1FlowUpdate::Error{session, "session_expired", std::nullopt,
                                                        "Approval expired", false, std::nullopt,
                                                        state_->lastMeta});
    } else {
      pollNow = true;
    }
  }
  apply(effects);  // may destroy this very timer: its handler is allowed to
  if (pollNow) send(VelqoV1Action::poll(), UserAction::no);
}

// Runs under the lock: the timer is cancelled and destroyed once the lock is released.
void VelqoV1FlowController::stopTimer(Effects& effects) {
  if (state_->pollTimer) effects.stoppedTimers.push_back(std::move(state_->pollTimer));
  state_->pollTimer.reset();
  state_->pollTimerId = 0;
}

// ---------------------------------------------------------------------------------------
// Effects and delivery

void VelqoV1FlowController::apply(Effects& effects) {
  for (auto& timer : effects.stoppedTimers) {
    timer->cancel();
    timer.reset();
  }
  effects.stoppedTimers.clear();
  for (const std::string& line : effects.logLines) debugLog(line);
  effects.logLines.clear();
  if (effects.followUp) {
    VelqoV1Action action = std::move(*effects.followUp);
    effects.followUp.reset();
    send(std::move(action), UserAction::yes);
  }
  flushUpdates();
}

void VelqoV1FlowController::flushUpdates() {
  const std::weak_ptr<VelqoV1FlowController> weak = weak_from_this();
  for (;;) {
    std::optional<VelqoV1FlowUpdate> next;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->flushing || state_->outbox.empty()) return;
      state_->flushing = true;
      next.emplace(std::move(state_->outbox.front()));
      state_->outbox.pop_front();
    }
    try {
      // The block holds a copy of the update and the controller weakly, and reads the
      // handler when it runs.
      callbackQueue_->async([weak, update = std::move(*next)] {
        const auto self = weak.lock();
        if (!self) return;
        const UpdateHandler handler = self->onUpdate();
        if (!handler) return;
        try {
          handler(update);
        } catch (...) {
          // A host callback's exception never escapes into the queue.
        }
      });
    } catch (...) {
      // Queueing failed (out of memory): the update is lost, the next ones still go out.
    }
    std::lock_guard lock(state_->mutex);
    state_->flushing = false;
  }
}

}  // namespace velqo
