#pragma once

// The client-side state of a V1 flow, the snapshot of a response, and the flow
// controller's primary-method setting. Plain values.

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "velqo/export.hpp"
#include "velqo/v1/protocol/response.hpp"

namespace velqo {

/// The protocol client's state: idle, loading, prompt, completed or error (the last two
/// are terminal). Default-constructed it is idle. Equality: same case, equal fields.
class VELQO_API VelqoV1FlowState {
 public:
  /// Case structs, in declaration order.
  struct Loading {
    std::optional<std::string> session;
    friend bool operator==(const Loading&, const Loading&) = default;
  };
  struct Prompt {
    std::string session;
    VelqoV1Prompt prompt;
    VelqoV1ResponseMeta meta;
    std::optional<VelqoV1PromptMetadata> promptMeta;
    friend bool operator==(const Prompt&, const Prompt&) = default;
  };
  struct Completed {
    std::string session;
    std::string authCode;
    std::string expiresAt;
    std::optional<std::string> codeVerifier;
    friend bool operator==(const Completed&, const Completed&) = default;
  };
  /// Unlike the error prompt, `action` may be absent (the client's own failures carry none).
  struct Error {
    std::optional<std::string> session;
    std::string code;
    std::optional<VelqoV1ErrorAction> action;
    std::string message;
    bool retryable = false;
    std::optional<VelqoV1ErrorDetails> details;
    friend bool operator==(const Error&, const Error&) = default;
  };
  struct Idle {
    friend bool operator==(const Idle&, const Idle&) = default;
  };

  using Payload = std::variant<Loading, Prompt, Completed, Error, Idle>;
  /// The cases, in declaration order (equal to the variant index).
  enum class Case { loading, prompt, completed, error, idle };

  VelqoV1FlowState() : payload_(Idle{}) {}
  /// From any case struct.
  VelqoV1FlowState(Payload payload) : payload_(std::move(payload)) {}  // NOLINT: implicit by design
  template <class T>
  requires(!std::is_same_v<std::remove_cvref_t<T>, VelqoV1FlowState> &&
           !std::is_same_v<std::remove_cvref_t<T>, Payload> && std::is_constructible_v<Payload, T&&>)
      VelqoV1FlowState(T&& payload)
      : payload_(std::forward<T>(payload)) {}  // NOLINT: implicit by design

  static VelqoV1FlowState idle() { return VelqoV1FlowState(); }
  static VelqoV1FlowState loading(std::optional<std::string> session) { return Loading{std::move(session)}; }

  Case kind() const noexcept { return static_cast<Case>(payload_.index()); }
  const Payload& payload() const noexcept { return payload_; }
  /// The case struct when the state is of that case, else nullptr.
  template <class T>
  const T* as() const noexcept {
    return std::get_if<T>(&payload_);
  }

  /// True for completed and error.
  bool isTerminal() const noexcept { return kind() == Case::completed || kind() == Case::error; }

  friend bool operator==(const VelqoV1FlowState&, const VelqoV1FlowState&) = default;

 private:
  Payload payload_;
};

/// The five fields of a response, copied unchanged.
struct VELQO_API VelqoV1FlowSnapshot {
  explicit VelqoV1FlowSnapshot(const VelqoV1Response& response)
      : protocolVersion(response.protocolVersion),
        session(response.session),
        prompt(response.prompt),
        meta(response.meta),
        promptMeta(response.promptMeta) {}

  std::int64_t protocolVersion;
  std::string session;
  VelqoV1Prompt prompt;
  VelqoV1ResponseMeta meta;
  std::optional<VelqoV1PromptMetadata> promptMeta;

  friend bool operator==(const VelqoV1FlowSnapshot&, const VelqoV1FlowSnapshot&) = default;
};

/// Whether the flow controller chooses the primary sign-in method from the identifier by
/// itself. Hashable (std::hash of an enum).
enum class VelqoV1PrimaryMethodSelectionPolicy { manual, automaticFromIdentifier };

}  // namespace velqo
