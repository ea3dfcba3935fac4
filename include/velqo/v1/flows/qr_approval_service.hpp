#pragma once

// Approval of scanned QR codes: proves possession of the device credential by signing the QR
// session and nonce, posts the proof to the service and reports one outcome or one error.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/platform/result.hpp"
#include "velqo/v1/flows/qr_payload.hpp"
#include "velqo/v1/flows/qr_signing.hpp"
#include "velqo/v1/protocol/client_config.hpp"

namespace velqo {

/// What an approval achieved: `bound` after a `qrLogin` bind (with the user id the service
/// reports, if any) or `approved` after a `qrAuth` approval. Equality: same case, same user id.
class VELQO_API VelqoV1QrApprovalOutcome {
 public:
  enum class Case { bound, approved };

  static VelqoV1QrApprovalOutcome bound(std::optional<std::string> userid) {
    return VelqoV1QrApprovalOutcome(Case::bound, std::move(userid));
  }
  static VelqoV1QrApprovalOutcome approved() {
    return VelqoV1QrApprovalOutcome(Case::approved, std::nullopt);
  }

  Case kind() const noexcept { return case_; }
  /// The bound user id (nothing for `approved`, and for a bind the service did not name).
  const std::optional<std::string>& userid() const noexcept { return userid_; }

  friend bool operator==(const VelqoV1QrApprovalOutcome&, const VelqoV1QrApprovalOutcome&) = default;

 private:
  VelqoV1QrApprovalOutcome(Case c, std::optional<std::string> userid)
      : case_(c), userid_(std::move(userid)) {}
  Case case_;
  std::optional<std::string> userid_;
};

/// Why an approval failed: a snake_case code ("invalid_payload", "invalid_identifier",
/// "signing_failed", "request_encoding_failed", "transport_error", "http_error",
/// "response_decoding_failed", a device-trust code of the signer, or the service's own code),
/// a message, whether trying again may help, whether the device credential was found stale
/// (it has then already been cleared: start a fresh sign-in to set the device up again), and
/// the delay the service asked for.
///
/// As a platform error: domain "VelqoV1QrApprovalError", numeric code = the position of the
/// text code in `Code` (-1 for codes outside it), description = the message. Equality compares
/// the five fields.
class VELQO_API VelqoV1QrApprovalError : public platform::PlatformError {
 public:
  /// The service's own codes, in this order.
  enum class Code {
    invalidPayload,          ///< "invalid_payload"
    invalidIdentifier,       ///< "invalid_identifier"
    signingFailed,           ///< "signing_failed"
    requestEncodingFailed,   ///< "request_encoding_failed"
    transportError,          ///< "transport_error"
    httpError,               ///< "http_error"
    responseDecodingFailed,  ///< "response_decoding_failed"
  };
  static std::string_view codeText(Code code) noexcept;

  VelqoV1QrApprovalError(std::string code, std::string message, bool retryable, bool shouldClearRecord,
                         std::optional<std::int64_t> retryAfterSeconds);

  const std::string& code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }
  bool retryable() const noexcept { return retryable_; }
  bool shouldClearRecord() const noexcept { return shouldClearRecord_; }
  const std::optional<std::int64_t>& retryAfterSeconds() const noexcept { return retryAfterSeconds_; }

  friend bool operator==(const VelqoV1QrApprovalError& a, const VelqoV1QrApprovalError& b) {
    return a.code_ == b.code_ && a.message_ == b.message_ && a.retryable_ == b.retryable_ &&
           a.shouldClearRecord_ == b.shouldClearRecord_ && a.retryAfterSeconds_ == b.retryAfterSeconds_;
  }

 private:
  std::string code_;
  std::string message_;
  bool retryable_;
  bool shouldClearRecord_;
  std::optional<std::int64_t> retryAfterSeconds_;
};

/// Approves scanned QR codes for the user whose device credential the signer holds.
///
/// Each approval signs on the caller's thread, posts one request and never retries: a
/// `qrAuth` code goes as a "qr_auth_approve" action in the V1 envelope to `config.baseURL()`
/// + "/auth"; a `qrLogin` code goes as a bind record to `config.baseURL()` + "/auth/qr-bind".
/// Both carry the V1 headers of the configuration.
///
/// Threads: failures found before sending (payload, identifier, signing, encoding) complete
/// synchronously on the caller's thread; every other completion runs on the HTTP session's
/// completion thread, as do the signer's `clearRecord` calls after an answer. The service has no
/// mutable state; several approvals may run at once from any threads.
///
/// Ownership: made by `create`, held through std::shared_ptr; it owns a copy of the settings,
/// the signer and the session. A request in flight holds the service weakly: once the host
/// releases the service, a pending answer is dropped and its completion never called.
/// Otherwise every approval ends in exactly one completion call. Exceptions thrown by a
/// completion are caught and dropped.
class VELQO_API VelqoV1QrApprovalService : public std::enable_shared_from_this<VelqoV1QrApprovalService> {
 public:
  using ApprovalResult = Result<VelqoV1QrApprovalOutcome, VelqoV1QrApprovalError>;
  using Completion = std::function<void(const ApprovalResult&)>;

  /// Throws std::invalid_argument for a null signer or session.
  static std::shared_ptr<VelqoV1QrApprovalService> create(VelqoV1ClientConfig config,
                                                          std::shared_ptr<VelqoV1QrSigning> signer,
                                                          std::shared_ptr<platform::HttpSession> urlSession);
  VelqoV1QrApprovalService(const VelqoV1QrApprovalService&) = delete;
  VelqoV1QrApprovalService& operator=(const VelqoV1QrApprovalService&) = delete;

  const VelqoV1ClientConfig& config() const noexcept { return config_; }

  /// `approveQrLogin` for a `qrLogin` payload, `approveQrAuth` for a `qrAuth` one. Returns at
  /// once.
  void approve(const VelqoV1QrPayload& payload, const std::string& identifier, bool rememberDevice,
               Completion completion);

  /// Approves the sign-in waiting on the other screen: signs sessionId + ":" + nonce +
  /// ":approve" for the normalised identifier (trimmed, lower-cased) and sends it with the
  /// payload's phone action token. Succeeds with `approved` on a 2xx V1 answer that is not an
  /// error prompt. Does not look at `payload.type`.
  void approveQrAuth(const VelqoV1QrPayload& payload, const std::string& identifier, bool rememberDevice,
                     Completion completion);

  /// Binds the other screen's session to the user: signs sessionId + ":" + nonce + ":" +
  /// normalised identifier + ":bind" and posts the bind record. Succeeds with `bound` on a 2xx
  /// answer with a non-empty "status". Does not look at `payload.type`.
  void approveQrLogin(const VelqoV1QrPayload& payload, const std::string& identifier, bool rememberDevice,
                      Completion completion);

 private:
  // Only `create` can make one: a private constructor keeps it from being an aggregate
  // that `{}` would build anywhere.
  class Passkey {
    Passkey() = default;
    friend class VelqoV1QrApprovalService;
  };

 public:
  /// Use `create`.
  VelqoV1QrApprovalService(Passkey, VelqoV1ClientConfig config, std::shared_ptr<VelqoV1QrSigning> signer,
                           std::shared_ptr<platform::HttpSession> urlSession);

 private:
  struct Impl;
  friend struct Impl;

  const VelqoV1ClientConfig config_;
  const std::shared_ptr<VelqoV1QrSigning> signer_;
  const std::shared_ptr<platform::HttpSession> urlSession_;
};

}  // namespace velqo
