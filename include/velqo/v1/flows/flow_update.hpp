#pragma once

// What a V1 flow controller hands to the host application: loading, a prompt with its
// context, completed, error or idle. Plain values with field-wise equality.

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "velqo/export.hpp"
#include "velqo/v1/protocol/flow_state.hpp"
#include "velqo/v1/protocol/response.hpp"

namespace velqo {

/// What accompanies every prompt update: the session, the response meta, the step the flow
/// is in (when known), the service's risk assessment and the channel a code went to.
class VELQO_API VelqoV1PromptContext {
 public:
  VelqoV1PromptContext(std::string session, VelqoV1ResponseMeta meta,
                       std::optional<VelqoV1StepInfo> stepInfo = std::nullopt,
                       std::optional<VelqoV1RiskInfo> risk = std::nullopt,
                       std::optional<std::string> codeChannel = std::nullopt)
      : session_(std::move(session)),
        meta_(std::move(meta)),
        stepInfo_(std::move(stepInfo)),
        risk_(std::move(risk)),
        codeChannel_(std::move(codeChannel)) {}

  const std::string& session() const noexcept { return session_; }
  const VelqoV1ResponseMeta& meta() const noexcept { return meta_; }
  const std::optional<VelqoV1StepInfo>& stepInfo() const noexcept { return stepInfo_; }
  const std::optional<VelqoV1RiskInfo>& risk() const noexcept { return risk_; }
  const std::optional<std::string>& codeChannel() const noexcept { return codeChannel_; }

  friend bool operator==(const VelqoV1PromptContext&, const VelqoV1PromptContext&) = default;

 private:
  std::string session_;
  VelqoV1ResponseMeta meta_;
  std::optional<VelqoV1StepInfo> stepInfo_;
  std::optional<VelqoV1RiskInfo> risk_;
  std::optional<std::string> codeChannel_;
};

/// A prompt as the host shows it to the user. The device-trust prompts never reach the host
/// as prompts (the client answers them, or the controller reports an error).
class VELQO_API VelqoV1UserPrompt {
 public:
  /// Case structs: the service prompt's own, in declaration order.
  using SelectMethod = VelqoV1Prompt::SelectMethod;
  using EnterCode = VelqoV1Prompt::EnterCode;
  using SetupTotp = VelqoV1Prompt::SetupTotp;
  using SetupSms = VelqoV1Prompt::SetupSms;
  using Redirect = VelqoV1Prompt::Redirect;
  using AwaitApproval = VelqoV1Prompt::AwaitApproval;
  using EnterTotp = VelqoV1Prompt::EnterTotp;

  using Payload =
      std::variant<SelectMethod, EnterCode, SetupTotp, SetupSms, Redirect, AwaitApproval, EnterTotp>;
  /// The cases, in declaration order (equal to the variant index).
  enum class Case { selectMethod, enterCode, setupTotp, setupSms, redirect, awaitApproval, enterTotp };

  VelqoV1UserPrompt(Payload payload) : payload_(std::move(payload)) {}  // NOLINT: implicit by design
  template <class T>
  requires(!std::is_same_v<std::remove_cvref_t<T>, VelqoV1UserPrompt> &&
           !std::is_same_v<std::remove_cvref_t<T>, Payload> && std::is_constructible_v<Payload, T&&>)
      VelqoV1UserPrompt(T&& payload)
      : payload_(std::forward<T>(payload)) {}  // NOLINT: implicit by design

  Case kind() const noexcept { return static_cast<Case>(payload_.index()); }
  const Payload& payload() const noexcept { return payload_; }
  /// The case struct when the prompt is of that case, else nullptr.
  template <class T>
  const T* as() const noexcept {
    return std::get_if<T>(&payload_);
  }

  friend bool operator==(const VelqoV1UserPrompt&, const VelqoV1UserPrompt&) = default;

 private:
  Payload payload_;
};

/// One update of a V1 flow, delivered to VelqoV1FlowController's `onUpdate` on its callback
/// queue.
class VELQO_API VelqoV1FlowUpdate {
 public:
  /// Case structs, in declaration order (loading and idle are the client state's own).
  using Loading = VelqoV1FlowState::Loading;
  struct Prompt {
    VelqoV1PromptContext context;
    VelqoV1UserPrompt prompt;
    friend bool operator==(const Prompt&, const Prompt&) = default;
  };
  /// The flow ended with an authorization code; `codeVerifier` is the PKCE verifier to
  /// redeem it with (absent when the caller supplied its own challenge).
  struct Completed {
    std::string session;
    std::string authCode;
    std::string expiresAt;
    std::optional<std::string> codeVerifier;
    VelqoV1ResponseMeta meta;
    friend bool operator==(const Completed&, const Completed&) = default;
  };
  /// The flow ended with a failure; `message` is meant for the end user.
  struct Error {
    std::optional<std::string> session;
    std::string code;
    std::optional<VelqoV1ErrorAction> action;
    std::string message;
    bool retryable = false;
    std::optional<VelqoV1ErrorDetails> details;
    std::optional<VelqoV1ResponseMeta> meta;
    friend bool operator==(const Error&, const Error&) = default;
  };
  using Idle = VelqoV1FlowState::Idle;

  using Payload = std::variant<Loading, Prompt, Completed, Error, Idle>;
  /// The cases, in declaration order (equal to the variant index).
  enum class Case { loading, prompt, completed, error, idle };

  VelqoV1FlowUpdate(Payload payload) : payload_(std::move(payload)) {}  // NOLINT: implicit by design
  template <class T>
  requires(!std::is_same_v<std::remove_cvref_t<T>, VelqoV1FlowUpdate> &&
           !std::is_same_v<std::remove_cvref_t<T>, Payload> && std::is_constructible_v<Payload, T&&>)
      VelqoV1FlowUpdate(T&& payload)
      : payload_(std::forward<T>(payload)) {}  // NOLINT: implicit by design

  static VelqoV1FlowUpdate idle() { return Idle{}; }

  Case kind() const noexcept { return static_cast<Case>(payload_.index()); }
  const Payload& payload() const noexcept { return payload_; }
  /// The case struct when the update is of that case, else nullptr.
  template <class T>
  const T* as() const noexcept {
    return std::get_if<T>(&payload_);
  }

  friend bool operator==(const VelqoV1FlowUpdate&, const VelqoV1FlowUpdate&) = default;

 private:
  Payload payload_;
};

}  // namespace velqo
