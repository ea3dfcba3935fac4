#include "velqo/v1/protocol/client.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/logging/debug_sink_state.hpp"
#include "platform/encoding.hpp"
#include "platform/url.hpp"
#include "v1/protocol/diagnostics.hpp"
#include "v1/protocol/messages.hpp"
#include "v1/protocol/request_builder.hpp"
#include "velqo/core/velqo_v1_crypto.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/v1/protocol/device_crypto_handling.hpp"

namespace velqo {

namespace {

using v1::detail::EventFields;
using v1::detail::logEvent;
using OptText = std::optional<std::string>;

// Delays beyond this are held at it: a delay of decades is "never" in practice, and the
// steady clock cannot represent due times much further out without overflowing.
constexpr double kMaxDelaySeconds = 1.0e9;

platform::Duration delayFromSeconds(double seconds) {
  if (!(seconds > 0.0)) return platform::Duration::zero();  // negative, zero or NaN: now
  const double bounded = std::min(seconds, kMaxDelaySeconds);
  return std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(bounded));
}

platform::Duration backoffDelay(double baseSeconds, std::int64_t attempt) {
  const int exponent = static_cast<int>(std::clamp<std::int64_t>(attempt, 0, 2048));
  return delayFromSeconds(std::ldexp(baseSeconds, exponent));
}

int attemptForLog(std::int64_t attempt) {
  return static_cast<int>(std::clamp<std::int64_t>(attempt, 0, INT_MAX));
}

std::string flag(bool value) {
  return value ? "true" : "false";
}

void wipeOptional(OptText& text) noexcept {
  if (text) wipe(*text);
  text.reset();
}

template <class Callback>
void callSafely(const Callback& callback, const VelqoV1FlowState& state) noexcept {
  if (!callback) return;
  try {
    callback(state);
  } catch (...) {
    // A host callback's exception must not unwind through the client or a queue.
  }
}

// Host code (the credentials provider, the handler's lookup and clean-up, the invalidator)
// must not throw into the client. When it does, a line says so and the call counts as having
// produced nothing; the step goes on.
void callHost(std::string_view what, const std::function<void()>& call) noexcept {
  try {
    call();
  } catch (...) {
    try {
      logEvent("host_callback_failed", EventFields{{"callback", std::string(what)}});
    } catch (...) {
      // Not even the line could be composed.
    }
  }
}

std::string endpointURL(const std::string& baseURL) {
  if (auto url = platform::Url::parse(baseURL)) return url->appendingPathComponent("auth").text();
  return baseURL;  // not a URL: the session fails the task with a bad-URL transport error
}

}  // namespace

// The client's mutable fields, guarded by `mutex`, which is never held while the client
// calls out.
struct VelqoProtocolV1Client::State {
  std::mutex mutex;
  std::optional<std::string> session;
  VelqoV1FlowState flowState;
  StateChangeHook onStateChange;
  std::optional<std::string> currentIdentifier;
  std::optional<std::string> currentCodeVerifier;
  std::optional<std::string> currentPhase;
};

struct VelqoProtocolV1Client::Impl {
  using Client = VelqoProtocolV1Client;

  static OptText uniqueHeaderValue(const Client& c, const VelqoV1Action& action) {
    OptText identifier;
    if (const auto* start = action.as<VelqoV1Action::Start>()) {
      identifier = start->identifier;
    } else {
      identifier = c.currentIdentifier();
    }
    if (!identifier) return std::nullopt;
    return v1::detail::identifierDigestHex(*identifier);
  }

  // Stores the state, then tells the hook and the completion (outside the lock).
  static void finish(Client& c, VelqoV1FlowState state, const Completion& completion) {
    StateChangeHook hook;
    {
      std::lock_guard lock(c.state_->mutex);
      c.state_->flowState = state;
      hook = c.state_->onStateChange;
    }
    callSafely(hook, state);
    callSafely(completion, state);
  }

  static void finishWithClientError(Client& c, OptText session, std::string code,
                                    const std::string& rawMessage, const OptText& traceId, bool retryable,
                                    const Completion& completion) {
    std::string message = v1::detail::userFacingErrorMessage(code, rawMessage, c.currentPhase(), traceId,
                                                             std::nullopt, false, std::nullopt);
    finish(c,
           VelqoV1FlowState::Error{std::move(session), std::move(code), std::nullopt, std::move(message),
                                   retryable, std::nullopt},
           completion);
  }

  static void scheduleResend(Client& c, const VelqoV1Action& action, std::int64_t attempt,
                             platform::Duration delay, const Completion& completion) {
    std::weak_ptr<Client> weak = c.weak_from_this();
    platform::globalQueue(platform::QualityOfService::defaultQoS)
        ->asyncAfter(delay, [weak, action, attempt, completion] {
          if (auto self = weak.lock()) perform(*self, action, attempt + 1, completion);
        });
  }

  static void perform(Client& c, const VelqoV1Action& action, std::int64_t attempt,
                      const Completion& completion) {
    const OptText session = c.session();
    std::string body;
    try {
      body = encodeV1Request(VelqoV1Request{c.config_.protocolVersion(), session, action});
    } catch (...) {
      finishWithClientError(c, session, "request_encoding_failed", "Failed to encode v1 request",
                            std::nullopt, false, completion);
      return;
    }

    const VelqoV1ClientConfig& config = c.config_;
    platform::HttpRequest request =
        v1::detail::makeV1Request(config, c.endpointURL_, std::move(body), uniqueHeaderValue(c, action));

    if (detail::debugSinkInstalled()) {
      v1::detail::logRequestWire(action, attemptForLog(attempt), request);
      logEvent("request_send", EventFields{{"action", std::string(action.wireName())},
                                           {"attempt", std::to_string(attempt)},
                                           {"session", session},
                                           {"phase", c.currentPhase()},
                                           {"baseURL", config.baseURL()},
                                           {"hasConfigId", flag(!config.configId().empty())}});
    }

    std::weak_ptr<Client> weak = c.weak_from_this();
    c.urlSession_->dataTask(std::move(request), [weak, action, attempt, completion](
                                                    std::optional<std::string> responseBody,
                                                    std::optional<platform::HttpResponse> response,
                                                    std::optional<platform::PlatformError> error) {
      auto self = weak.lock();
      if (!self) return;  // released: nothing is reported
      handleTransportResult(*self, action, attempt, completion, responseBody, response, error);
    });
  }

  static void handleTransportResult(Client& c, const VelqoV1Action& action, std::int64_t attempt,
                                    const Completion& completion, const OptText& body,
                                    const std::optional<platform::HttpResponse>& response,
                                    const std::optional<platform::PlatformError>& error) {
    if (detail::debugSinkInstalled()) {
      v1::detail::logResponseWire(action, attemptForLog(attempt), body, response, error);
    }
    const std::string actionName(action.wireName());

    if (error) {
      if (attempt < c.config_.retryMaxAttempts()) {
        if (detail::debugSinkInstalled()) {
          logEvent("transport_retry", EventFields{{"action", actionName},
                                                  {"attempt", std::to_string(attempt)},
                                                  {"session", c.session()},
                                                  {"phase", c.currentPhase()},
                                                  {"reason", error->localizedDescription()}});
        }
        scheduleResend(c, action, attempt, backoffDelay(c.config_.retryBaseDelaySeconds(), attempt),
                       completion);
        return;
      }
      finishWithClientError(c, c.session(), "transport_error", error->localizedDescription(), std::nullopt,
                            true, completion);
      return;
    }
    if (!body) {
      finishWithClientError(c, c.session(), "transport_error", "Empty response data", std::nullopt, true,
                            completion);
      return;
    }

    std::optional<VelqoV1Response> decoded;
    try {
      decoded = decodeV1Response(*body);
    } catch (...) {
      decoded.reset();
    }
    if (decoded) {
      processResponse(c, *decoded, action, attempt, completion);
      return;
    }
    if (!response) {
      if (detail::debugSinkInstalled()) {
        logEvent("response_decode_error", EventFields{{"action", actionName},
                                                      {"session", c.session()},
                                                      {"phase", c.currentPhase()},
                                                      {"attempt", std::to_string(attempt)}});
      }
      const std::string raw = platform::isValidUtf8(*body) ? *body : std::string("Invalid response");
      finishWithClientError(c, c.session(), "response_decoding_failed", raw, std::nullopt, false, completion);
      return;
    }
    if (detail::debugSinkInstalled()) {
      logEvent("response_http_error", EventFields{{"action", actionName},
                                                  {"session", c.session()},
                                                  {"phase", c.currentPhase()},
                                                  {"statusCode", std::to_string(response->statusCode)},
                                                  {"attempt", std::to_string(attempt)}});
    }
    finishWithClientError(c, c.session(), "http_error",
                          v1::detail::httpErrorRawMessage(response->statusCode, *body), std::nullopt, false,
                          completion);
  }

  // Answers a device-trust prompt through the handler. False when there is no handler or no
  // current identifier (the prompt then passes on as a prompt state); true when the step goes
  // on. The handler's work (key agreement, derivations, signing, key-store reads and writes)
  // runs on the global pool, not on the session's completion thread, so one flow's
  // cryptography never holds up the transfers of others; the follow-up send, or the error
  // state with its hook and completion, comes from that pool thread. A client released
  // meanwhile gets nothing. `answer` is copied there: it must own what it reads.
  template <class Answer>
  static bool answerDeviceTrust(Client& c, const VelqoV1Response& response, const Completion& completion,
                                const char* handledEvent, const char* failureMessage, Answer answer) {
    std::shared_ptr<VelqoV1DeviceCryptoHandling> handler = c.config_.deviceCryptoHandler();
    OptText identifier = c.currentIdentifier();
    if (!handler || !identifier) return false;

    std::weak_ptr<Client> weak = c.weak_from_this();
    platform::globalQueue(platform::QualityOfService::defaultQoS)
        ->async([weak, handler = std::move(handler), identifier = std::move(*identifier),
                 session = response.session, traceId = OptText(response.meta.traceId), completion,
                 handledEvent, failureMessage, answer = std::move(answer)] {
          std::optional<VelqoV1Action> next;
          std::optional<VelqoV1DeviceCryptoError> failure;
          try {
            next = answer(*handler, identifier);
          } catch (const VelqoV1DeviceCryptoError& e) {
            failure = e;
          } catch (...) {
            // Any other error: reported below as "device_crypto_error".
          }
          auto self = weak.lock();
          if (!self) return;  // released: nothing is sent or reported
          finishDeviceTrust(*self, *handler, identifier, session, traceId, completion, handledEvent,
                            failureMessage, std::move(next), std::move(failure));
        });
    return true;
  }

  static void finishDeviceTrust(Client& c, VelqoV1DeviceCryptoHandling& handler,
                                const std::string& identifier, const OptText& session, const OptText& traceId,
                                const Completion& completion, const char* handledEvent,
                                const char* failureMessage, std::optional<VelqoV1Action> next,
                                std::optional<VelqoV1DeviceCryptoError> failure) {
    if (next) {
      if (detail::debugSinkInstalled()) {
        logEvent(handledEvent, EventFields{{"session", session},
                                           {"traceId", traceId},
                                           {"phase", c.currentPhase()},
                                           {"nextAction", std::string(next->wireName())},
                                           {"identifierHash", v1::detail::identifierHash(identifier)}});
      }
      c.send(std::move(*next), completion);
      return;
    }
    if (failure) {
      if (failure->shouldClearRecord()) {
        callHost("clearRecord", [&] { handler.clearRecord(identifier); });
      }
      finishWithClientError(c, session, failure->code(), failure->message(), traceId, false, completion);
      return;
    }
    finishWithClientError(c, session, "device_crypto_error", failureMessage, traceId, false, completion);
  }

  static void processResponse(Client& c, const VelqoV1Response& response, const VelqoV1Action& action,
                              std::int64_t attempt, const Completion& completion) {
    const OptText phaseFromResponse = v1::detail::phaseForResponse(response.prompt, response.promptMeta);
    {
      std::lock_guard lock(c.state_->mutex);
      c.state_->session = response.session;
      if (phaseFromResponse) c.state_->currentPhase = phaseFromResponse;
    }

    const VelqoV1Prompt& prompt = response.prompt;
    const std::string& traceId = response.meta.traceId;
    OptText step;
    bool riskDetected = false;
    OptText codeChannel;
    if (response.promptMeta) {
      if (const auto& info = response.promptMeta->stepInfo) step = info->label ? *info->label : info->id;
      riskDetected = response.promptMeta->risk && response.promptMeta->risk->detected;
      codeChannel = response.promptMeta->codeChannel;
    }
    if (detail::debugSinkInstalled()) {
      logEvent("response_received", EventFields{{"session", response.session},
                                                {"traceId", traceId},
                                                {"prompt", std::string(prompt.wireName())},
                                                {"phase", c.currentPhase()},
                                                {"step", step},
                                                {"riskDetected", riskDetected ? "yes" : "no"},
                                                {"codeChannel", codeChannel}});
    }

    if (const auto* setup = prompt.as<VelqoV1Prompt::SetupDevice>()) {
      if (detail::debugSinkInstalled()) {
        logEvent("device_trust_setup_received", EventFields{{"session", response.session},
                                                            {"traceId", traceId},
                                                            {"phase", c.currentPhase()},
                                                            {"algorithm", setup->algorithm},
                                                            {"version", setup->version}});
      }
      if (answerDeviceTrust(
              c, response, completion, "device_trust_setup_handled", "Failed to handle setup_device",
              [setup = *setup](VelqoV1DeviceCryptoHandling& handler, const std::string& identifier) {
                return handler.handleSetupDevice(setup.domain, setup.algorithm, setup.version, identifier);
              })) {
        return;
      }
    } else if (const auto* challenge = prompt.as<VelqoV1Prompt::DeviceChallenge>()) {
      if (detail::debugSinkInstalled()) {
        logEvent("device_trust_challenge_received",
                 EventFields{{"session", response.session},
                             {"traceId", traceId},
                             {"phase", c.currentPhase()},
                             {"algorithm", challenge->algorithm},
                             {"challengeEncoding", challenge->challengeEncoding},
                             {"responseEncoding", challenge->responseEncoding}});
      }
      if (answerDeviceTrust(
              c, response, completion, "device_trust_challenge_handled", "Failed to handle device_challenge",
              [challenge = *challenge](VelqoV1DeviceCryptoHandling& handler, const std::string& identifier) {
                return handler.handleDeviceChallenge(
                    challenge.challenge, challenge.challengeEncoding, challenge.keyId, challenge.algorithm,
                    challenge.domain, challenge.combinedsalt, challenge.responseEncoding, identifier);
              })) {
        return;
      }
    } else if (const auto* completed = prompt.as<VelqoV1Prompt::Completed>()) {
      std::string authCode = platform::trimWhitespace(completed->authCode);
      if (authCode.empty()) {
        finishWithClientError(c, response.session, "invalid_response", "Completed prompt missing authCode",
                              traceId, false, completion);
        return;
      }
      OptText verifier;
      {
        std::lock_guard lock(c.state_->mutex);
        verifier =
            completed->codeVerifier ? completed->codeVerifier : std::move(c.state_->currentCodeVerifier);
        wipeOptional(c.state_->currentCodeVerifier);
      }
      finish(c,
             VelqoV1FlowState::Completed{response.session, std::move(authCode), completed->expiresAt,
                                         std::move(verifier)},
             completion);
      return;
    } else if (const auto* error = prompt.as<VelqoV1Prompt::Error>()) {
      handleErrorPrompt(c, response, *error, action, attempt, completion);
      return;
    }

    finish(c, VelqoV1FlowState::Prompt{response.session, prompt, response.meta, response.promptMeta},
           completion);
  }

  static void handleErrorPrompt(Client& c, const VelqoV1Response& response, const VelqoV1Prompt::Error& error,
                                const VelqoV1Action& action, std::int64_t attempt,
                                const Completion& completion) {
    const VelqoV1ClientConfig& config = c.config_;
    if (detail::debugSinkInstalled()) {
      logEvent("prompt_error_received",
               EventFields{{"session", response.session},
                           {"traceId", response.meta.traceId},
                           {"phase", c.currentPhase()},
                           {"errorCode", error.code},
                           {"action", error.action.caseDescription()},
                           {"retryable", flag(error.retryable)},
                           {"retryAt", error.details ? error.details->retryAt : std::nullopt}});
    }

    const OptText identifier = c.currentIdentifier();
    if (identifier && config.deviceCredentialClearCodes().count(error.code) != 0 &&
        config.deviceCredentialsInvalidator()) {
      callHost("deviceCredentialsInvalidator", [&] { config.deviceCredentialsInvalidator()(*identifier); });
    }

    const VelqoV1ErrorAction::Case kind = error.action.kind();
    if (kind == VelqoV1ErrorAction::Case::retryRequest && attempt < config.retryMaxAttempts()) {
      scheduleResend(c, action, attempt, backoffDelay(config.retryBaseDelaySeconds(), attempt), completion);
      return;
    }
    if (kind == VelqoV1ErrorAction::Case::wait && error.details && error.details->retryAfterSeconds &&
        config.autoRetryWait()) {
      scheduleResend(c, action, attempt,
                     delayFromSeconds(static_cast<double>(*error.details->retryAfterSeconds)), completion);
      return;
    }

    std::string message =
        v1::detail::userFacingErrorMessage(error.code, error.message, c.currentPhase(), response.meta.traceId,
                                           error.action, error.retryable, error.details);
    finish(c,
           VelqoV1FlowState::Error{response.session, error.code, error.action, std::move(message),
                                   error.retryable, error.details},
           completion);
  }
};

std::shared_ptr<VelqoProtocolV1Client> VelqoProtocolV1Client::create(
    VelqoV1ClientConfig config, std::shared_ptr<platform::HttpSession> urlSession) {
  if (!urlSession) throw std::invalid_argument("VelqoProtocolV1Client: the HTTP session is null");
  return std::make_shared<VelqoProtocolV1Client>(Passkey{}, std::move(config), std::move(urlSession));
}

VelqoProtocolV1Client::VelqoProtocolV1Client(Passkey, VelqoV1ClientConfig config,
                                             std::shared_ptr<platform::HttpSession> urlSession)
    : config_(std::move(config)),
      urlSession_(std::move(urlSession)),
      endpointURL_(endpointURL(config_.baseURL())),
      state_(std::make_unique<State>()) {}

VelqoProtocolV1Client::~VelqoProtocolV1Client() {
  wipeOptional(state_->currentCodeVerifier);
}

std::optional<std::string> VelqoProtocolV1Client::session() const {
  std::lock_guard lock(state_->mutex);
  return state_->session;
}

VelqoV1FlowState VelqoProtocolV1Client::state() const {
  std::lock_guard lock(state_->mutex);
  return state_->flowState;
}

void VelqoProtocolV1Client::setOnStateChange(StateChangeHook hook) {
  std::lock_guard lock(state_->mutex);
  state_->onStateChange = std::move(hook);
}

VelqoProtocolV1Client::StateChangeHook VelqoProtocolV1Client::onStateChange() const {
  std::lock_guard lock(state_->mutex);
  return state_->onStateChange;
}

void VelqoProtocolV1Client::start(VelqoV1FlowType flowType, std::string identifier,
                                  std::optional<std::string> startToken,
                                  std::optional<std::string> inviteCode,
                                  std::optional<std::string> codeChallenge,
                                  std::optional<VelqoV1DeviceInfo> device,
                                  std::optional<VelqoV1DeviceCredentials> deviceCredentials,
                                  Completion completion) {
  {
    std::lock_guard lock(state_->mutex);
    state_->session.reset();
    state_->currentIdentifier = identifier;
    state_->currentPhase = "primary";
  }

  std::optional<VelqoV1DeviceCredentials> credentials = std::move(deviceCredentials);
  if (!credentials && flowType == VelqoV1FlowType::signin) {
    if (const auto& provider = config_.deviceCredentialsProvider()) {
      callHost("deviceCredentialsProvider", [&] { credentials = provider(identifier); });
    }
    if (!credentials) {
      if (const auto& handler = config_.deviceCryptoHandler()) {
        callHost("deviceCredentials", [&] { credentials = handler->deviceCredentials(identifier); });
      }
    }
  }

  std::optional<std::string> challenge;
  OptText verifier;
  const char* pkceMode = "caller_supplied_or_none";
  if (codeChallenge && !platform::trimWhitespace(*codeChallenge).empty()) {
    challenge = std::move(codeChallenge);
  } else if (std::optional<PkcePair> pair = makePkcePair()) {
    verifier = std::move(pair->verifier);
    challenge = std::move(pair->challenge);
    pkceMode = "sdk_auto";
  } else {
    challenge = std::move(codeChallenge);
  }
  {
    std::lock_guard lock(state_->mutex);
    wipeOptional(state_->currentCodeVerifier);
    state_->currentCodeVerifier = std::move(verifier);
  }

  const bool hasCredentials = credentials.has_value();
  VelqoV1Action action =
      VelqoV1Action::start(flowType, identifier, std::move(startToken), std::move(inviteCode),
                           std::move(challenge), std::move(device), std::move(credentials));
  if (detail::debugSinkInstalled()) {
    logEvent("start_prepared", EventFields{{"flowType", std::string(flowTypeRawValue(flowType))},
                                           {"session", std::nullopt},
                                           {"phase", currentPhase()},
                                           {"hasDeviceCredentials", flag(hasCredentials)},
                                           {"pkceMode", std::string(pkceMode)},
                                           {"identifierHash", v1::detail::identifierHash(identifier)}});
  }
  send(std::move(action), std::move(completion));
}

void VelqoProtocolV1Client::send(VelqoV1Action action, Completion completion) {
  VelqoV1FlowState loading;
  StateChangeHook hook;
  {
    std::lock_guard lock(state_->mutex);
    if (const auto* start = action.as<VelqoV1Action::Start>()) state_->currentIdentifier = start->identifier;
    loading = VelqoV1FlowState::loading(state_->session);
    state_->flowState = loading;
    hook = state_->onStateChange;
  }
  callSafely(hook, loading);
  Impl::perform(*this, action, 0, completion);
}

void VelqoProtocolV1Client::selectMethod(std::string methodId, Completion completion) {
  send(VelqoV1Action::selectMethod(std::move(methodId)), std::move(completion));
}
void VelqoProtocolV1Client::submitCode(std::string code, Completion completion) {
  send(VelqoV1Action::submitCode(std::move(code)), std::move(completion));
}
void VelqoProtocolV1Client::submitTotp(std::string code, Completion completion) {
  send(VelqoV1Action::submitTotp(std::move(code)), std::move(completion));
}
void VelqoProtocolV1Client::submitPhone(std::string phone, Completion completion) {
  send(VelqoV1Action::submitPhone(std::move(phone)), std::move(completion));
}
void VelqoProtocolV1Client::requestChallenge(std::string keyset, std::string hindex, std::string sk2,
                                             Completion completion) {
  send(VelqoV1Action::requestChallenge(std::move(keyset), std::move(hindex), std::move(sk2)),
       std::move(completion));
}
void VelqoProtocolV1Client::submitSignature(std::string keyId, std::string signature, std::string mapp,
                                            Completion completion) {
  send(VelqoV1Action::submitSignature(std::move(keyId), std::move(signature), std::move(mapp)),
       std::move(completion));
}
void VelqoProtocolV1Client::oauthCallback(std::string code, std::string state, Completion completion) {
  send(VelqoV1Action::oauthCallback(std::move(code), std::move(state)), std::move(completion));
}
void VelqoProtocolV1Client::resend(Completion completion) {
  send(VelqoV1Action::resend(), std::move(completion));
}
void VelqoProtocolV1Client::poll(Completion completion) {
  send(VelqoV1Action::poll(), std::move(completion));
}
void VelqoProtocolV1Client::cancel(Completion completion) {
  send(VelqoV1Action::cancel(), std::move(completion));
}

void VelqoProtocolV1Client::reset() {
  StateChangeHook hook;
  {
    std::lock_guard lock(state_->mutex);
    state_->session.reset();
    state_->currentIdentifier.reset();
    wipeOptional(state_->currentCodeVerifier);
    state_->currentPhase.reset();
    state_->flowState = VelqoV1FlowState::idle();
    hook = state_->onStateChange;
  }
  callSafely(hook, VelqoV1FlowState::idle());
}

std::optional<VelqoProtocolV1Client::PkcePair> VelqoProtocolV1Client::makePkcePair() {
  Bytes random;
  ScopedWipe wipeRandom(random);
  try {
    random = VelqoV1Crypto::randomBytes(32);
  } catch (...) {
    return std::nullopt;
  }
  PkcePair pair;
  pair.verifier = platform::base64UrlEncode(random);
  Bytes verifierBytes = bytesOf(pair.verifier);
  ScopedWipe wipeVerifierBytes(verifierBytes);
  pair.challenge = platform::base64UrlEncode(VelqoV1Crypto::sha256(verifierBytes));
  if (pair.verifier.empty() || pair.challenge.empty()) return std::nullopt;
  return pair;
}

std::optional<std::string> VelqoProtocolV1Client::currentIdentifier() const {
  std::lock_guard lock(state_->mutex);
  return state_->currentIdentifier;
}
std::optional<std::string> VelqoProtocolV1Client::currentCodeVerifier() const {
  std::lock_guard lock(state_->mutex);
  return state_->currentCodeVerifier;
}
std::optional<std::string> VelqoProtocolV1Client::currentPhase() const {
  std::lock_guard lock(state_->mutex);
  return state_->currentPhase;
}

}  // namespace velqo
