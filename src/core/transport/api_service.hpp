#pragma once

// The JSON transport of the account interface (not installed).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/transport/json_codec.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/result.hpp"

namespace velqo {

/// Error objects of the transport.
namespace transport_error {
inline constexpr const char* networkDomain = "NetworkError";
inline constexpr const char* apiDomain = "APIError";
inline constexpr long invalidURL = -1;       ///< "Invalid URL provided" (code chosen here)
inline constexpr long invalidResponse = -2;  ///< "Invalid response received"
inline constexpr long noData = -3;           ///< "No data received"
}  // namespace transport_error

/// The answer body of a failed request as far as the transport reads it: {"detail"}.
struct APIErrorDetail {
  std::optional<std::string> detail;
};
void from_json(const json::Value& value, APIErrorDetail& out);

/// Sends JSON requests to the account endpoints with the project-key headers and decodes the
/// answers as records; also carries the token endpoint's form POST (`postEncoded`), which shares
/// the request, the session and the decoding but none of the project-key headers. Holds the
/// project API key and the URL session; immutable after construction, so one instance may be
/// shared by every engine and used from any thread.
///
/// Every JSON request carries "Content-Type: application/json", "Accept: application/json",
/// the project API key under `apiKeyHeader`, and "Authorization: Bearer <token>" only when a
/// token is given (a key or token holding a line break makes the session fail the request
/// before anything is sent). Completions run exactly once: on the calling thread, before
/// `post`/`get` return, for an invalid URL text or a body that does not encode;
/// otherwise on the main queue with the transport's error, "NetworkError" -2 / -3, the decoded
/// record with the HTTP status (whatever the status), an "APIError" carrying the status and
/// the service's "detail", or the record's decoding error. Nothing is logged.
class ApiService {
  // Only `create` can make one: a private constructor keeps it from being built anywhere else.
  class Passkey {
    Passkey() = default;
    friend class ApiService;
  };

 public:
  /// The request header that carries the project API key. The service and this transport must
  /// agree on it; change it here for a deployment that expects another name.
  static constexpr const char* apiKeyHeader = "X-API-Key";

  template <class T>
  using Outcome = Result<std::pair<T, long>, platform::PlatformError>;
  template <class T>
  using Completion = std::function<void(Outcome<T>)>;

  /// `session` defaults to `HttpSession::shared()`, looked up when a request is sent.
  static std::shared_ptr<ApiService> create(std::string projectApiKey,
                                            std::shared_ptr<platform::HttpSession> session = nullptr);
  /// Use `create`.
  ApiService(Passkey, std::string projectApiKey, std::shared_ptr<platform::HttpSession> session);

  const std::string& projectApiKey() const noexcept { return projectApiKey_; }

  /// POSTs `body` encoded as JSON and decodes the answer as `Response`.
  template <class Response, class Body>
  void post(const std::string& urlString, const Body& body, const std::optional<std::string>& token,
            Completion<Response> completion) const {
    auto encoded = json::encode(body);
    if (!encoded) {
      deliverNow(completion, encoded.error());
      return;
    }
    send<Response>("POST", urlString, std::move(encoded.value()), token, std::move(completion));
  }

  /// GETs the URL and decodes the answer as `Response`.
  template <class Response>
  void get(const std::string& urlString, const std::optional<std::string>& token,
           Completion<Response> completion) const {
    send<Response>("GET", urlString, std::nullopt, token, std::move(completion));
  }

  /// A body encoded by the caller and the media type it is sent as.
  struct EncodedBody {
    std::string text;
    std::string contentType;
  };

  /// POSTs `body` to `urlString` (taken as given) with "Content-Type: <body.contentType>" as
  /// its only header: no project key, no "Accept", no token; 60-second time-out. Returns at
  /// once; `completion` runs exactly once, always on the main queue (also when the session
  /// refuses the URL), with: the transport's error; "NetworkError" -2 "Invalid response type
  /// for " + URL or -3 "No data received for " + URL; or the body decoded as `Response` with
  /// the HTTP status, whatever the status (no {"detail"} reading), or the decoding error.
  /// The answer's text is wiped once decoded. `session` defaults to `HttpSession::shared()`.
  template <class Response>
  static void postEncoded(const std::string& urlString, EncodedBody body, Completion<Response> completion,
                          std::shared_ptr<platform::HttpSession> session = nullptr) {
    run(std::move(session), encodedRequest(urlString, std::move(body)), Wording::namingURL, urlString,
        decodeThenDeliverOnMain<Response>(std::move(completion), ErrorBody::notRead));
  }

  /// What the transport step yields before decoding: the body and the HTTP status, or an error.
  struct RawAnswer {
    std::string body;
    long status = 0;
  };
  using RawOutcome = Result<RawAnswer, platform::PlatformError>;

  /// Decodes a raw answer as `Response` by the rules above (record, then {"detail"}).
  template <class Response>
  static Outcome<Response> interpret(RawOutcome raw) {
    return decode<Response>(std::move(raw), ErrorBody::readDetail);
  }

 private:
  /// How the transport's own failures are worded: the JSON path's plain texts, or the form
  /// POST's texts that name the URL.
  enum class Wording { plain, namingURL };
  /// Whether an answer that is not the record is read as {"detail"} (an "APIError").
  enum class ErrorBody { readDetail, notRead };

  /// Builds a JSON request: checks the URL and sets the project-key headers. Returns the
  /// error instead when the URL does not parse.
  Result<platform::HttpRequest, platform::PlatformError> jsonRequest(
      const char* method, const std::string& urlString, std::optional<std::string> body,
      const std::optional<std::string>& token) const;
  static platform::HttpRequest encodedRequest(const std::string& urlString, EncodedBody body);

  /// Starts the data task; `onAnswer` runs once on the session's completion thread with the
  /// body and status, or the transport's error, or the -2 / -3 error worded by `wording`.
  static void run(std::shared_ptr<platform::HttpSession> session, platform::HttpRequest request,
                  Wording wording, std::string urlString, std::function<void(RawOutcome)> onAnswer);

  /// Decodes on the session's thread; only the result crosses to the main queue.
  template <class Response>
  static std::function<void(RawOutcome)> decodeThenDeliverOnMain(Completion<Response> completion,
                                                                 ErrorBody errorBody) {
    return [completion = std::move(completion), errorBody](RawOutcome raw) {
      auto outcome = std::make_shared<Outcome<Response>>(decode<Response>(std::move(raw), errorBody));
      platform::mainQueue().async([completion, outcome]() {
        if (completion) completion(std::move(*outcome));
      });
    };
  }

  template <class Response>
  static Outcome<Response> decode(RawOutcome raw, ErrorBody errorBody);

  template <class Response>
  void send(const char* method, const std::string& urlString, std::optional<std::string> body,
            const std::optional<std::string>& token, Completion<Response> completion) const {
    auto request = jsonRequest(method, urlString, std::move(body), token);
    if (!request) {
      deliverNow(completion, request.error());
      return;
    }
    run(session_, std::move(request.value()), Wording::plain, urlString,
        decodeThenDeliverOnMain<Response>(std::move(completion), ErrorBody::readDetail));
  }

  template <class Response>
  static void deliverNow(const Completion<Response>& completion, platform::PlatformError error) {
    if (completion) completion(Outcome<Response>::failure(std::move(error)));
  }

  static platform::PlatformError apiError(long status, const std::optional<std::string>& detail);

  std::string projectApiKey_;
  std::shared_ptr<platform::HttpSession> session_;
};

template <class Response>
ApiService::Outcome<Response> ApiService::decode(RawOutcome raw, ErrorBody errorBody) {
  using O = Outcome<Response>;
  if (!raw) return O::failure(raw.error());
  RawAnswer& answer = raw.value();
  auto parsed = json::parse(answer.body);
  wipe(answer.body);
  if (!parsed) return O::failure(parsed.error());
  auto record = json::decodeValue<Response>(parsed.value());
  if (record) return O::success(std::make_pair(std::move(record.value()), answer.status));
  if (errorBody == ErrorBody::readDetail) {
    auto detail = json::decodeValue<APIErrorDetail>(parsed.value());
    if (detail) return O::failure(apiError(answer.status, detail.value().detail));
  }
  return O::failure(record.error());
}

}  // namespace velqo
