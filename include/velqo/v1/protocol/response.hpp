#pragma once

// The response side of the V1 wire format: the response record, its prompts, the prompt
// metadata (step, risk, code channel), and the error prompt's action and details. All
// plain values. Decoding is forgiving inside a prompt and strict about the response frame.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "velqo/export.hpp"
#include "velqo/v1/protocol/json_coding.hpp"
#include "velqo/v1/protocol/json_value.hpp"

namespace velqo {

/// One sign-in method offered by a select-method prompt: {"id", "label", "icon"?}.
struct VELQO_API VelqoV1Method {
  std::string id;
  std::string label;
  std::optional<std::string> icon;
  friend bool operator==(const VelqoV1Method&, const VelqoV1Method&) = default;
};

/// The next step the service recommends after an error. Wire form: one JSON string.
/// Equality: same case, and for `unknown` the same text.
class VELQO_API VelqoV1ErrorAction {
 public:
  /// The cases, in declaration order.
  enum class Case { unknown, retryInput, restartFlow, wait, retryRequest, abort, resendCode, selectMethod };

  static VelqoV1ErrorAction unknown(std::string raw) {
    return VelqoV1ErrorAction(Case::unknown, std::move(raw));
  }
  static VelqoV1ErrorAction retryInput() { return VelqoV1ErrorAction(Case::retryInput); }
  static VelqoV1ErrorAction restartFlow() { return VelqoV1ErrorAction(Case::restartFlow); }
  static VelqoV1ErrorAction wait() { return VelqoV1ErrorAction(Case::wait); }
  static VelqoV1ErrorAction retryRequest() { return VelqoV1ErrorAction(Case::retryRequest); }
  static VelqoV1ErrorAction abort() { return VelqoV1ErrorAction(Case::abort); }
  static VelqoV1ErrorAction resendCode() { return VelqoV1ErrorAction(Case::resendCode); }
  static VelqoV1ErrorAction selectMethod() { return VelqoV1ErrorAction(Case::selectMethod); }

  /// Maps a protocol text exactly: "retry_input"; "restart_flow" or "start"; "wait";
  /// "retry_request"; "abort" or "cancel"; "resend_code" or "resend"; "select_method";
  /// any other text gives unknown(text) as received.
  static VelqoV1ErrorAction fromProtocolActionType(std::string_view text);

  Case kind() const noexcept { return case_; }
  /// The received text of an `unknown` action; empty for the other cases.
  const std::string& unknownText() const noexcept { return raw_; }
  /// The wire text: "retry_input", "restart_flow", "wait", "retry_request", "abort",
  /// "resend_code", "select_method", or the unknown action's own text.
  std::string wireValue() const;
  /// The case as diagnostic lines name it: "retryInput", ..., or unknown("raw text").
  std::string caseDescription() const;

  friend bool operator==(const VelqoV1ErrorAction&, const VelqoV1ErrorAction&) = default;

 private:
  explicit VelqoV1ErrorAction(Case c, std::string raw = {}) : case_(c), raw_(std::move(raw)) {}
  Case case_;
  std::string raw_;
};

/// A per-field validation message: {"field", "message"}, both required.
struct VELQO_API VelqoV1FieldError {
  std::string field;
  std::string message;
  friend bool operator==(const VelqoV1FieldError&, const VelqoV1FieldError&) = default;
};

/// Retry and validation details of an error. Read from "retry_after_seconds" (preferred) or
/// "retryAfterSeconds", "retryAt", "attemptsRemaining", "errors"; written with
/// "retry_after_seconds", "retryAt", "attemptsRemaining", "errors", each only when present.
struct VELQO_API VelqoV1ErrorDetails {
  std::optional<std::int64_t> retryAfterSeconds;
  std::optional<std::string> retryAt;
  std::optional<std::int64_t> attemptsRemaining;
  std::optional<std::vector<VelqoV1FieldError>> errors;

  bool isEmpty() const noexcept { return !retryAfterSeconds && !retryAt && !attemptsRemaining && !errors; }
  friend bool operator==(const VelqoV1ErrorDetails&, const VelqoV1ErrorDetails&) = default;
};

/// The step the flow is at: {"id", "label"?}.
struct VELQO_API VelqoV1StepInfo {
  std::string id;
  std::optional<std::string> label;
  friend bool operator==(const VelqoV1StepInfo&, const VelqoV1StepInfo&) = default;
};

/// Where the service placed the sign-in attempt: {"city"?, "country"?}.
struct VELQO_API VelqoV1RiskLocation {
  std::optional<std::string> city;
  std::optional<std::string> country;
  friend bool operator==(const VelqoV1RiskLocation&, const VelqoV1RiskLocation&) = default;
};

/// The service's risk assessment: {"detected", "reasons", "message"?, "location"?, "risk_score"?}.
struct VELQO_API VelqoV1RiskInfo {
  bool detected = false;
  std::vector<std::string> reasons;
  std::optional<std::string> message;
  std::optional<VelqoV1RiskLocation> location;
  std::optional<double> riskScore;
  friend bool operator==(const VelqoV1RiskInfo&, const VelqoV1RiskInfo&) = default;
};

/// Metadata read from the prompt object itself: "stepInfo" (else "step_info"), "risk",
/// "channel". A response never carries an empty one (it is absent instead).
struct VELQO_API VelqoV1PromptMetadata {
  std::optional<VelqoV1StepInfo> stepInfo;
  std::optional<VelqoV1RiskInfo> risk;
  std::optional<std::string> codeChannel;

  bool isEmpty() const noexcept { return !stepInfo && !risk && !codeChannel; }
  friend bool operator==(const VelqoV1PromptMetadata&, const VelqoV1PromptMetadata&) = default;
};

/// {"traceId", "expiresAt"}, both required.
struct VELQO_API VelqoV1ResponseMeta {
  std::string traceId;
  std::string expiresAt;
  friend bool operator==(const VelqoV1ResponseMeta&, const VelqoV1ResponseMeta&) = default;
};

/// The prompt the service answers with: a tagged variant chosen by the exact text under
/// "type". The member defaults are the values a missing or unreadable defaulted key gives.
/// Equality: same case, equal fields.
class VELQO_API VelqoV1Prompt {
 public:
  /// Case structs, in declaration order (`Unknown` comes before `EnterTotp`).
  struct SelectMethod {
    std::vector<VelqoV1Method> methods;
    std::optional<std::string> phase;
    friend bool operator==(const SelectMethod&, const SelectMethod&) = default;
  };
  struct EnterCode {
    std::string destination;
    std::optional<std::int64_t> codeLength;
    std::optional<std::string> codeFormat;
    std::optional<std::string> codeExpiresAt;
    std::optional<std::string> resendAt;
    friend bool operator==(const EnterCode&, const EnterCode&) = default;
  };
  struct SetupTotp {
    std::string secret;
    std::string otpauthUrl;
    std::optional<std::int64_t> period;
    friend bool operator==(const SetupTotp&, const SetupTotp&) = default;
  };
  struct SetupSms {
    std::optional<std::string> existingPhone;
    friend bool operator==(const SetupSms&, const SetupSms&) = default;
  };
  struct Redirect {
    std::string url;
    std::optional<std::string> returnScheme;
    friend bool operator==(const Redirect&, const Redirect&) = default;
  };
  struct AwaitApproval {
    std::optional<std::string> qrData;
    std::string expiresAt;
    std::int64_t pollInterval = 2;  ///< seconds
    friend bool operator==(const AwaitApproval&, const AwaitApproval&) = default;
  };
  struct SetupDevice {
    std::string domain;
    std::string algorithm;
    std::string version;
    friend bool operator==(const SetupDevice&, const SetupDevice&) = default;
  };
  struct DeviceChallenge {
    std::string challenge;
    std::string challengeEncoding = "base64";
    std::string keyId;
    std::string algorithm;
    std::string domain;
    std::string combinedsalt;
    std::string responseEncoding = "base64";
    friend bool operator==(const DeviceChallenge&, const DeviceChallenge&) = default;
  };
  struct Completed {
    std::string authCode;
    std::string expiresAt;
    std::optional<std::string> codeVerifier;
    friend bool operator==(const Completed&, const Completed&) = default;
  };
  struct Error {
    std::string code = "unknown_error";
    VelqoV1ErrorAction action = VelqoV1ErrorAction::unknown("unknown");
    std::string message = "Unknown error";
    bool retryable = false;
    std::optional<VelqoV1ErrorDetails> details;
    friend bool operator==(const Error&, const Error&) = default;
  };
  /// A prompt of a type this library does not know; carries the tag as received.
  struct Unknown {
    std::string type;
    friend bool operator==(const Unknown&, const Unknown&) = default;
  };
  struct EnterTotp {
    friend bool operator==(const EnterTotp&, const EnterTotp&) = default;
  };

  using Payload = std::variant<SelectMethod, EnterCode, SetupTotp, SetupSms, Redirect, AwaitApproval,
                               SetupDevice, DeviceChallenge, Completed, Error, Unknown, EnterTotp>;

  /// The cases, in declaration order (equal to the variant index).
  enum class Case {
    selectMethod,
    enterCode,
    setupTotp,
    setupSms,
    redirect,
    awaitApproval,
    setupDevice,
    deviceChallenge,
    completed,
    error,
    unknown,
    enterTotp,
  };

  /// From any case struct.
  VelqoV1Prompt(Payload payload) : payload_(std::move(payload)) {}  // NOLINT: implicit by design
  template <class T>
  requires(!std::is_same_v<std::remove_cvref_t<T>, VelqoV1Prompt> &&
           !std::is_same_v<std::remove_cvref_t<T>, Payload> && std::is_constructible_v<Payload, T&&>)
      VelqoV1Prompt(T&& payload)
      : payload_(std::forward<T>(payload)) {}  // NOLINT: implicit by design

  Case kind() const noexcept { return static_cast<Case>(payload_.index()); }
  const Payload& payload() const noexcept { return payload_; }
  /// The case struct when the prompt is of that case, else nullptr.
  template <class T>
  const T* as() const noexcept {
    return std::get_if<T>(&payload_);
  }

  /// True for setup_device and device_challenge, the prompts the protocol client answers by
  /// itself through its device-trust handler.
  bool isInternal() const noexcept { return kind() == Case::setupDevice || kind() == Case::deviceChallenge; }

  /// The wire tag, also the prompt's name in diagnostic lines ("select_method", ...,
  /// "enter_totp"); an unknown prompt gives the type text it carries.
  std::string_view wireName() const noexcept;

  friend bool operator==(const VelqoV1Prompt&, const VelqoV1Prompt&) = default;

 private:
  Payload payload_;
};

/// One decoded V1 answer. `promptMeta` is read from the same object as the prompt and is
/// absent when unreadable or empty.
struct VELQO_API VelqoV1Response {
  std::int64_t protocolVersion = 0;
  std::string session;
  VelqoV1Prompt prompt;
  VelqoV1ResponseMeta meta;
  std::optional<VelqoV1PromptMetadata> promptMeta;
  friend bool operator==(const VelqoV1Response&, const VelqoV1Response&) = default;
};

/// Decodes a V1 answer body. Requires a JSON object with "protocolVersion" (integer),
/// "session" (text), a prompt under "prompt" (else, if that fails for any reason, under
/// "step"), and "meta". Throws VelqoV1JSONCodingError when the body is not such an object;
/// nothing of the response survives then. Never crashes on malformed input: nesting deeper
/// than 256 levels and numbers that overflow a double are dataCorrupted.
VELQO_API VelqoV1Response decodeV1Response(std::string_view body);

/// Decoders of the single records (see decodeV1JSON), with the same rules as inside a
/// response: a prompt object ("type" required, forgiving keys), its metadata (any unreadable
/// part fails), error details, an error action (any JSON value; never fails once the text is
/// JSON), a method, a field error, a step, a risk information, the response meta.
template <>
VELQO_API VelqoV1Response decodeV1JSON<VelqoV1Response>(std::string_view json);
template <>
VELQO_API VelqoV1Prompt decodeV1JSON<VelqoV1Prompt>(std::string_view json);
template <>
VELQO_API VelqoV1PromptMetadata decodeV1JSON<VelqoV1PromptMetadata>(std::string_view json);
template <>
VELQO_API VelqoV1ErrorDetails decodeV1JSON<VelqoV1ErrorDetails>(std::string_view json);
template <>
VELQO_API VelqoV1ErrorAction decodeV1JSON<VelqoV1ErrorAction>(std::string_view json);
template <>
VELQO_API VelqoV1Method decodeV1JSON<VelqoV1Method>(std::string_view json);
template <>
VELQO_API VelqoV1FieldError decodeV1JSON<VelqoV1FieldError>(std::string_view json);
template <>
VELQO_API VelqoV1StepInfo decodeV1JSON<VelqoV1StepInfo>(std::string_view json);
template <>
VELQO_API VelqoV1RiskInfo decodeV1JSON<VelqoV1RiskInfo>(std::string_view json);
template <>
VELQO_API VelqoV1ResponseMeta decodeV1JSON<VelqoV1ResponseMeta>(std::string_view json);

/// Compact JSON text of the encodable response-side values, keys in wire order. Throws
/// VelqoV1JSONCodingError (invalidValue) for text that is not valid UTF-8.
VELQO_API std::string encodeV1JSON(const VelqoV1Method& method);
VELQO_API std::string encodeV1JSON(const VelqoV1ErrorAction& action);
VELQO_API std::string encodeV1JSON(const VelqoV1ErrorDetails& details);
VELQO_API std::string encodeV1JSON(const VelqoV1FieldError& error);
VELQO_API std::string encodeV1JSON(const VelqoV1JSONValue& value);

}  // namespace velqo
