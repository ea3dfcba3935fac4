#include "velqo/v1/flows/qr_approval_service.hpp"

#include <charconv>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/json/error_body.hpp"
#include "core/transport/http_status.hpp"
#include "platform/encoding.hpp"
#include "platform/identifier_text.hpp"
#include "platform/url.hpp"
#include "v1/protocol/diagnostics.hpp"
#include "v1/protocol/request_builder.hpp"
#include "v1/protocol/wire_json.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/v1/protocol/actions.hpp"
#include "velqo/v1/protocol/device_crypto_handling.hpp"
#include "velqo/v1/protocol/response.hpp"

namespace velqo {
namespace {

using OptText = std::optional<std::string>;
using ApprovalResult = VelqoV1QrApprovalService::ApprovalResult;
using Completion = VelqoV1QrApprovalService::Completion;
using Code = VelqoV1QrApprovalError::Code;

constexpr const char* kMissingPhoneActionToken = "Missing phone_action_token in QR payload";
constexpr const char* kInvalidIdentifier = "Invalid user identifier";

VelqoV1QrApprovalError ownError(Code code, std::string message, bool retryable = false) {
  return VelqoV1QrApprovalError(std::string(VelqoV1QrApprovalError::codeText(code)), std::move(message),
                                retryable, false, std::nullopt);
}

void complete(const Completion& completion, const ApprovalResult& result) noexcept {
  if (!completion) return;
  try {
    completion(result);
  } catch (...) {
    // A host completion's exception must not unwind into the caller or the session.
  }
}

void fail(const Completion& completion, VelqoV1QrApprovalError error) {
  complete(completion, ApprovalResult::failure(std::move(error)));
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// "Retry-After" as a decimal whole number with an optional sign; dates, blanks and anything
// else give nothing.
std::optional<std::int64_t> retryAfterSeconds(const std::optional<platform::HttpResponse>& response) {
  if (!response) return std::nullopt;
  auto value = response->header("Retry-After");
  if (!value || value->empty()) return std::nullopt;
  std::string_view digits(*value);
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.front() == '+' || digits.front() == '-') return std::nullopt;
  std::uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  constexpr auto maxPositive = static_cast<std::uint64_t>(INT64_MAX);
  if (!negative && magnitude > maxPositive) return std::nullopt;
  if (negative && magnitude > maxPositive + 1) return std::nullopt;
  if (negative) return magnitude == maxPositive + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  return static_cast<std::int64_t>(magnitude);
}

// {"status": text (required), "userid"?: text}.
struct QrBindResponse {
  std::string status;
  OptText userid;
};

std::optional<QrBindResponse> decodeBindResponse(std::string_view body) {
  auto document = v1::detail::tryParseJson(body);
  if (!document || !document->is_object()) return std::nullopt;
  auto status = document->find("status");
  if (status == document->end() || !status->is_string()) return std::nullopt;
  QrBindResponse out{status->get<std::string>(), std::nullopt};
  auto userid = document->find("userid");
  if (userid != document->end() && !userid->is_null()) {
    if (!userid->is_string()) return std::nullopt;
    out.userid = userid->get<std::string>();
  }
  return out;
}

std::string absoluteURLText(const std::string& url) {
  if (auto parsed = platform::Url::parse(url)) return parsed->text();
  return url.empty() ? "unknown" : url;
}

void logRequestWire(const platform::HttpRequest& request) {
  debugLog("[V1][QR][WIRE][REQ] method=" + (request.method.empty() ? std::string("POST") : request.method) +
           " url=" + absoluteURLText(request.url));
  debugLog("[V1][QR][WIRE][REQ_HEADERS] " + v1::detail::renderHeaderDictionary(request.headers));
  if (auto line = v1::detail::composeWireBodyLine("[V1][QR][WIRE][REQ_BODY]", request.body,
                                                  v1::detail::contentTypeOf(request.headers))) {
    debugLog(*line);
  }
}

void logResponseWire(const OptText& body, const std::optional<platform::HttpResponse>& response,
                     const std::optional<platform::PlatformError>& error) {
  if (error) {
    debugLog("[V1][QR][WIRE][RESP_ERROR] error=" + error->localizedDescription());
    return;
  }
  if (!response) return;
  debugLog("[V1][QR][WIRE][RESP] status=" + std::to_string(response->statusCode));
  debugLog("[V1][QR][WIRE][RESP_HEADERS] " + v1::detail::renderHeaderDictionary(response->headers));
  if (body) {
    if (auto line = v1::detail::composeWireBodyLine("[V1][QR][WIRE][RESP_BODY]", *body,
                                                    v1::detail::contentTypeOf(response->headers))) {
      debugLog(*line);
    }
  }
}

enum class Kind { auth, bind };

}  // namespace

std::string_view VelqoV1QrApprovalError::codeText(Code code) noexcept {
  switch (code) {
    case Code::invalidPayload:
      return "invalid_payload";
    case Code::invalidIdentifier:
      return "invalid_identifier";
    case Code::signingFailed:
      return "signing_failed";
    case Code::requestEncodingFailed:
      return "request_encoding_failed";
    case Code::transportError:
      return "transport_error";
    case Code::httpError:
      return "http_error";
    case Code::responseDecodingFailed:
      return "response_decoding_failed";
  }
  return "";
}

namespace {

long numericCode(std::string_view code) {
  for (int i = 0; i <= static_cast<int>(Code::responseDecodingFailed); ++i) {
    if (VelqoV1QrApprovalError::codeText(static_cast<Code>(i)) == code) return i;
  }
  return -1;
}

}  // namespace

VelqoV1QrApprovalError::VelqoV1QrApprovalError(std::string code, std::string message, bool retryable,
                                               bool shouldClearRecord,
                                               std::optional<std::int64_t> retryAfterSeconds)
    : platform::PlatformError("VelqoV1QrApprovalError", numericCode(code), message),
      code_(std::move(code)),
      message_(std::move(message)),
      retryable_(retryable),
      shouldClearRecord_(shouldClearRecord),
      retryAfterSeconds_(retryAfterSeconds) {}

struct VelqoV1QrApprovalService::Impl {
  using Service = VelqoV1QrApprovalService;

  static void clearRecordSafely(Service& s, const std::string& identifier) noexcept {
    try {
      s.signer_->clearRecord(identifier);
    } catch (...) {
      // clearRecord must not throw; a signer that does anyway leaves the record as it is.
    }
  }

  // True when the code is one of the settings' clear codes (compared lower-cased) or the
  // message names a stale device credential.
  static bool clearRule(const Service& s, const OptText& code, std::string_view message) {
    if (code && s.config_.deviceCredentialClearCodes().count(platform::toLowerAscii(*code)) != 0) return true;
    const std::string lowered = platform::toLowerAscii(message);
    return contains(lowered, "device not found") || contains(lowered, "invalid signature") ||
           contains(lowered, "decryption");
  }

  // A V1 error prompt in the body becomes the error record (clearing a stale credential first).
  static std::optional<VelqoV1QrApprovalError> errorEnvelope(Service& s, std::string_view body,
                                                             const std::string& identifier) {
    std::optional<VelqoV1Response> response;
    try {
      response = decodeV1Response(body);
    } catch (...) {
      return std::nullopt;
    }
    const auto* prompt = response->prompt.as<VelqoV1Prompt::Error>();
    if (prompt == nullptr) return std::nullopt;
    const bool clear = clearRule(s, prompt->code, prompt->message);
    if (clear) clearRecordSafely(s, identifier);
    std::optional<std::int64_t> retryAfter;
    if (prompt->details) retryAfter = prompt->details->retryAfterSeconds;
    return VelqoV1QrApprovalError(prompt->code, prompt->message, prompt->retryable, clear, retryAfter);
  }

  static VelqoV1QrApprovalError httpErrorRecord(Service& s, long status, std::string_view body,
                                                const std::optional<platform::HttpResponse>& response,
                                                const std::string& identifier) {
    if (auto envelope = errorEnvelope(s, body, identifier)) return std::move(*envelope);

    std::string message;
    if (auto simple = json::readErrorBody(body)) {
      message = simple->firstText().value_or("Request failed");
    } else if (!body.empty() && platform::isValidUtf8(body)) {
      message = std::string(body);
    } else {
      message = "HTTP " + std::to_string(status);
    }
    const bool clear = clearRule(s, std::nullopt, message);
    if (clear) clearRecordSafely(s, identifier);
    return VelqoV1QrApprovalError(std::string(VelqoV1QrApprovalError::codeText(Code::httpError)),
                                  std::move(message), status == 429, clear, retryAfterSeconds(response));
  }

  static ApprovalResult successRule(Service& s, Kind kind, std::string_view body,
                                    const std::string& identifier) {
    if (auto envelope = errorEnvelope(s, body, identifier))
      return ApprovalResult::failure(std::move(*envelope));
    if (kind == Kind::auth) {
      try {
        (void)decodeV1Response(body);
      } catch (...) {
        return ApprovalResult::failure(
            ownError(Code::responseDecodingFailed, "Invalid QR auth approval response"));
      }
      return ApprovalResult::success(VelqoV1QrApprovalOutcome::approved());
    }
    auto bind = decodeBindResponse(body);
    if (!bind || bind->status.empty()) {
      return ApprovalResult::failure(ownError(Code::responseDecodingFailed, "Invalid QR bind response"));
    }
    return ApprovalResult::success(VelqoV1QrApprovalOutcome::bound(std::move(bind->userid)));
  }

  static void onAnswer(Service& s, Kind kind, const std::string& identifier, const Completion& completion,
                       OptText body, const std::optional<platform::HttpResponse>& response,
                       const std::optional<platform::PlatformError>& error) {
    logResponseWire(body, response, error);
    if (response && !error) {
      std::string data = body.value_or(std::string());
      if (isSuccessStatus(response->statusCode)) {
        ApprovalResult result = successRule(s, kind, data, identifier);
        wipe(data);
        complete(completion, result);
      } else {
        VelqoV1QrApprovalError failure = httpErrorRecord(s, response->statusCode, data, response, identifier);
        wipe(data);
        fail(completion, std::move(failure));
      }
    } else if (error) {
      fail(completion, ownError(Code::transportError, error->localizedDescription(), /*retryable=*/true));
    } else {
      fail(completion, ownError(Code::transportError, "Missing HTTP response", /*retryable=*/true));
    }
  }

  // Signs the message; on failure completes and returns nothing.
  static std::optional<VelqoV1QrSignaturePayload> sign(Service& s, const std::string& message,
                                                       const std::string& identifier,
                                                       const Completion& completion) {
    try {
      return s.signer_->signQrMessage(message, identifier);
    } catch (const VelqoV1DeviceCryptoError& e) {
      if (e.shouldClearRecord()) clearRecordSafely(s, identifier);
      fail(completion,
           VelqoV1QrApprovalError(e.code(), e.message(), false, e.shouldClearRecord(), std::nullopt));
    } catch (const platform::PlatformError& e) {
      fail(completion, ownError(Code::signingFailed, e.localizedDescription()));
    } catch (const std::exception& e) {
      fail(completion, ownError(Code::signingFailed, e.what()));
    } catch (...) {
      fail(completion, ownError(Code::signingFailed, "QR signing failed"));
    }
    return std::nullopt;
  }

  static std::string endpoint(const Service& s, const char* path) {
    if (auto base = platform::Url::parse(s.config_.baseURL()))
      return base->appendingPathComponent(path).text();
    return s.config_.baseURL();  // not a URL: the session fails the task as a transport error
  }

  static void send(Service& s, Kind kind, std::string url, std::string body, const std::string& identifier,
                   Completion completion) {
    platform::HttpRequest request = v1::detail::makeV1Request(s.config_, std::move(url), std::move(body),
                                                              v1::detail::identifierDigestHex(identifier));

    logRequestWire(request);
    std::weak_ptr<Service> weak = s.weak_from_this();
    s.urlSession_->dataTask(
        std::move(request), [weak, kind, identifier, completion = std::move(completion)](
                                OptText responseBody, std::optional<platform::HttpResponse> response,
                                std::optional<platform::PlatformError> error) {
          auto self = weak.lock();
          if (!self) return;  // released: the answer is dropped, nothing is called
          onAnswer(*self, kind, identifier, completion, std::move(responseBody), response, error);
        });
  }
};

VelqoV1QrApprovalService::VelqoV1QrApprovalService(Passkey, VelqoV1ClientConfig config,
                                                   std::shared_ptr<VelqoV1QrSigning> signer,
                                                   std::shared_ptr<platform::HttpSession> urlSession)
    : config_(std::move(config)), signer_(std::move(signer)), urlSession_(std::move(urlSession)) {}

std::shared_ptr<VelqoV1QrApprovalService> VelqoV1QrApprovalService::create(
    VelqoV1ClientConfig config, std::shared_ptr<VelqoV1QrSigning> signer,
    std::shared_ptr<platform::HttpSession> urlSession) {
  if (!signer) throw std::invalid_argument("VelqoV1QrApprovalService: a signer is required");
  if (!urlSession) throw std::invalid_argument("VelqoV1QrApprovalService: an HTTP session is required");
  return std::make_shared<VelqoV1QrApprovalService>(Passkey{}, std::move(config), std::move(signer),
                                                    std::move(urlSession));
}

void VelqoV1QrApprovalService::approve(const VelqoV1QrPayload& payload, const std::string& identifier,
                                       bool rememberDevice, Completion completion) {
  if (payload.type == VelqoV1QrPayloadType::qrLogin) {
    approveQrLogin(payload, identifier, rememberDevice, std::move(completion));
  } else {
    approveQrAuth(payload, identifier, rememberDevice, std::move(completion));
  }
}

void VelqoV1QrApprovalService::approveQrAuth(const VelqoV1QrPayload& payload, const std::string& identifier,
                                             bool rememberDevice, Completion completion) {
  if (!payload.phoneActionToken || payload.phoneActionToken->empty()) {
    fail(completion, ownError(Code::invalidPayload, kMissingPhoneActionToken));
    return;
  }
  const std::string normalized = platform::normalizedIdentifier(identifier);
  if (normalized.empty()) {
    fail(completion, ownError(Code::invalidIdentifier, kInvalidIdentifier));
    return;
  }
  auto signature =
      Impl::sign(*this, payload.sessionId + ":" + payload.nonce + ":approve", normalized, completion);
  if (!signature) return;

  std::string body;
  try {
    body = encodeV1Request(
        VelqoV1Request{config_.protocolVersion(), payload.sessionId,
                       VelqoV1Action::qrAuthApprove(signature->h2index, signature->signature, signature->sk2,
                                                    rememberDevice, *payload.phoneActionToken)});
  } catch (...) {
    wipe(signature->sk2);
    fail(completion, ownError(Code::requestEncodingFailed, "Failed to encode QR auth approval request"));
    return;
  }
  wipe(signature->sk2);
  Impl::send(*this, Kind::auth, Impl::endpoint(*this, "auth"), std::move(body), normalized,
             std::move(completion));
}

void VelqoV1QrApprovalService::approveQrLogin(const VelqoV1QrPayload& payload, const std::string& identifier,
                                              bool rememberDevice, Completion completion) {
  const std::string normalized = platform::normalizedIdentifier(identifier);
  if (normalized.empty()) {
    fail(completion, ownError(Code::invalidIdentifier, kInvalidIdentifier));
    return;
  }
  auto signature = Impl::sign(*this, payload.sessionId + ":" + payload.nonce + ":" + normalized + ":bind",
                              normalized, completion);
  if (!signature) return;

  std::string body;
  try {
    v1::detail::OrderedJson record = v1::detail::OrderedJson::object();
    record["session_id"] = payload.sessionId;
    record["nonce"] = payload.nonce;
    record["userid"] = normalized;
    record["h2index"] = signature->h2index;
    record["signature"] = signature->signature;
    record["sk2"] = signature->sk2;
    record["remember_device"] = rememberDevice;
    body = v1::detail::dumpCompact(record);
  } catch (...) {
    wipe(signature->sk2);
    fail(completion, ownError(Code::requestEncodingFailed, "Failed to encode QR bind request"));
    return;
  }
  wipe(signature->sk2);
  Impl::send(*this, Kind::bind, Impl::endpoint(*this, "auth/qr-bind"), std::move(body), normalized,
             std::move(completion));
}

}  // namespace velqo
