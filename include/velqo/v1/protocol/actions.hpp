#pragma once

// The request side of the V1 wire format: the envelope, the actions, the start action's
// device information and credentials, and the flow type. All plain values.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "velqo/export.hpp"
#include "velqo/v1/protocol/json_coding.hpp"
#include "velqo/v1/protocol/json_value.hpp"

namespace velqo {

/// The kind of flow a start action opens. Hashable (std::hash of an enum).
enum class VelqoV1FlowType { signin, signup, accountManage };

/// The wire text: "signin", "signup", "account_manage".
VELQO_API std::string_view flowTypeRawValue(VelqoV1FlowType type) noexcept;
/// The flow type of exactly one of the three wire texts (case-sensitive, untrimmed), else nothing.
VELQO_API std::optional<VelqoV1FlowType> flowTypeFromRawValue(std::string_view raw) noexcept;

/// Device information sent with a start action: {"v", "fingerprint", "signals"?}.
/// Built by the device information builder. Equality compares the signal maps
/// regardless of member order.
struct VELQO_API VelqoV1DeviceInfo {
  std::int64_t v = 0;
  std::string fingerprint;
  /// Written only when present; an empty map is written as {}.
  std::optional<VelqoV1JSONObject> signals;

  friend bool operator==(const VelqoV1DeviceInfo&, const VelqoV1DeviceInfo&) = default;
};

/// Stored device-trust values that accompany a sign-in start: {"keyset", "hindex", "sk2"}.
struct VELQO_API VelqoV1DeviceCredentials {
  std::string keyset;
  std::string hindex;
  std::string sk2;

  friend bool operator==(const VelqoV1DeviceCredentials&, const VelqoV1DeviceCredentials&) = default;
};

/// One step a V1 client sends: a tagged variant of twelve cases. Each case encodes as one
/// JSON object whose first key is "type" (the case's wire tag) followed by the case's keys
/// in the order of its struct's fields. Texts and booleans are always written (an empty
/// text as ""); only the optional fields of `start` are left out when absent (never null).
/// Build it with the named constructors (`VelqoV1Action::selectMethod("email_otp")`) or
/// from a case struct. Equality: same case, equal fields.
class VELQO_API VelqoV1Action {
 public:
  /// Case structs, in declaration order (the order of `Case` and of the variant).
  struct Start {
    VelqoV1FlowType flowType = VelqoV1FlowType::signin;
    std::string identifier;
    std::optional<std::string> startToken;
    std::optional<std::string> inviteCode;
    std::optional<std::string> codeChallenge;
    std::optional<VelqoV1DeviceInfo> device;
    std::optional<VelqoV1DeviceCredentials> deviceCredentials;
    friend bool operator==(const Start&, const Start&) = default;
  };
  struct SelectMethod {
    std::string methodId;
    friend bool operator==(const SelectMethod&, const SelectMethod&) = default;
  };
  struct SubmitCode {
    std::string code;
    friend bool operator==(const SubmitCode&, const SubmitCode&) = default;
  };
  struct SubmitTotp {
    std::string code;
    friend bool operator==(const SubmitTotp&, const SubmitTotp&) = default;
  };
  struct SubmitPhone {
    std::string phone;
    friend bool operator==(const SubmitPhone&, const SubmitPhone&) = default;
  };
  struct RequestChallenge {
    std::string keyset;
    std::string hindex;
    std::string sk2;
    friend bool operator==(const RequestChallenge&, const RequestChallenge&) = default;
  };
  struct SubmitSignature {
    std::string keyId;
    std::string signature;
    std::string mapp;
    friend bool operator==(const SubmitSignature&, const SubmitSignature&) = default;
  };
  struct OAuthCallback {
    std::string code;
    std::string state;
    friend bool operator==(const OAuthCallback&, const OAuthCallback&) = default;
  };
  struct QrAuthApprove {
    std::string h2index;
    std::string signature;
    std::string sk2;
    bool rememberDevice = false;
    std::string phoneActionToken;
    friend bool operator==(const QrAuthApprove&, const QrAuthApprove&) = default;
  };
  struct Resend {
    friend bool operator==(const Resend&, const Resend&) = default;
  };
  struct Poll {
    friend bool operator==(const Poll&, const Poll&) = default;
  };
  struct Cancel {
    friend bool operator==(const Cancel&, const Cancel&) = default;
  };

  using Payload = std::variant<Start, SelectMethod, SubmitCode, SubmitTotp, SubmitPhone, RequestChallenge,
                               SubmitSignature, OAuthCallback, QrAuthApprove, Resend, Poll, Cancel>;

  /// The cases, in declaration order (equal to the variant index).
  enum class Case {
    start,
    selectMethod,
    submitCode,
    submitTotp,
    submitPhone,
    requestChallenge,
    submitSignature,
    oauthCallback,
    qrAuthApprove,
    resend,
    poll,
    cancel,
  };

  /// From any case struct.
  VelqoV1Action(Payload payload) : payload_(std::move(payload)) {}  // NOLINT: implicit by design
  template <class T>
  requires(!std::is_same_v<std::remove_cvref_t<T>, VelqoV1Action> &&
           !std::is_same_v<std::remove_cvref_t<T>, Payload> && std::is_constructible_v<Payload, T&&>)
      VelqoV1Action(T&& payload)
      : payload_(std::forward<T>(payload)) {}  // NOLINT: implicit by design

  static VelqoV1Action start(VelqoV1FlowType flowType, std::string identifier,
                             std::optional<std::string> startToken = std::nullopt,
                             std::optional<std::string> inviteCode = std::nullopt,
                             std::optional<std::string> codeChallenge = std::nullopt,
                             std::optional<VelqoV1DeviceInfo> device = std::nullopt,
                             std::optional<VelqoV1DeviceCredentials> deviceCredentials = std::nullopt);
  static VelqoV1Action selectMethod(std::string methodId) { return SelectMethod{std::move(methodId)}; }
  static VelqoV1Action submitCode(std::string code) { return SubmitCode{std::move(code)}; }
  static VelqoV1Action submitTotp(std::string code) { return SubmitTotp{std::move(code)}; }
  static VelqoV1Action submitPhone(std::string phone) { return SubmitPhone{std::move(phone)}; }
  static VelqoV1Action requestChallenge(std::string keyset, std::string hindex, std::string sk2) {
    return RequestChallenge{std::move(keyset), std::move(hindex), std::move(sk2)};
  }
  static VelqoV1Action submitSignature(std::string keyId, std::string signature, std::string mapp) {
    return SubmitSignature{std::move(keyId), std::move(signature), std::move(mapp)};
  }
  static VelqoV1Action oauthCallback(std::string code, std::string state) {
    return OAuthCallback{std::move(code), std::move(state)};
  }
  static VelqoV1Action qrAuthApprove(std::string h2index, std::string signature, std::string sk2,
                                     bool rememberDevice, std::string phoneActionToken) {
    return QrAuthApprove{std::move(h2index), std::move(signature), std::move(sk2), rememberDevice,
                         std::move(phoneActionToken)};
  }
  static VelqoV1Action resend() { return Resend{}; }
  static VelqoV1Action poll() { return Poll{}; }
  static VelqoV1Action cancel() { return Cancel{}; }

  Case kind() const noexcept { return static_cast<Case>(payload_.index()); }
  const Payload& payload() const noexcept { return payload_; }
  /// The case struct when the action is of that case, else nullptr.
  template <class T>
  const T* as() const noexcept {
    return std::get_if<T>(&payload_);
  }

  /// The wire tag, which is also the action's name in diagnostic lines: "start",
  /// "select_method", "submit_code", "submit_totp", "submit_phone", "request_challenge",
  /// "submit_signature", "oauth_callback", "qr_auth_approve", "resend", "poll", "cancel".
  std::string_view wireName() const noexcept;

  friend bool operator==(const VelqoV1Action&, const VelqoV1Action&) = default;

 private:
  Payload payload_;
};

/// The request envelope: {"protocolVersion": n, "session"?: "...", "action": {...}}.
/// "session" is written only when present, never as null.
struct VELQO_API VelqoV1Request {
  std::int64_t protocolVersion = 1;
  std::optional<std::string> session;
  VelqoV1Action action;
};

/// Compact JSON text of the envelope, keys in wire order. Throws VelqoV1JSONCodingError
/// (invalidValue) when a text is not valid UTF-8 or a signal number is NaN or infinite;
/// the protocol client reports that as "request_encoding_failed".
VELQO_API std::string encodeV1Request(const VelqoV1Request& request);

/// Compact JSON text of the single values (same rules and failures as above).
VELQO_API std::string encodeV1JSON(const VelqoV1Action& action);
VELQO_API std::string encodeV1JSON(const VelqoV1DeviceInfo& device);
VELQO_API std::string encodeV1JSON(const VelqoV1DeviceCredentials& credentials);
/// The raw value as a JSON string, e.g. "\"account_manage\"".
VELQO_API std::string encodeV1JSON(VelqoV1FlowType type);

/// Decoding (see decodeV1JSON): "v" (integer) and "fingerprint" (text) required, "signals"
/// read when present and not null (must be an object).
template <>
VELQO_API VelqoV1DeviceInfo decodeV1JSON<VelqoV1DeviceInfo>(std::string_view json);
/// "keyset", "hindex" and "sk2" required texts.
template <>
VELQO_API VelqoV1DeviceCredentials decodeV1JSON<VelqoV1DeviceCredentials>(std::string_view json);
/// A JSON string holding one of the three raw values; any other string is dataCorrupted.
template <>
VELQO_API VelqoV1FlowType decodeV1JSON<VelqoV1FlowType>(std::string_view json);

}  // namespace velqo
