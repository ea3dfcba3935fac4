#pragma once

// The JSON transport of the account interface (not installed).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/transport/json_codec.hpp"
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
/// answers as records. Holds the project API key and the URL session; immutable after
/// construction, so one instance may be shared by every engine and used from any thread.
///
/// Every request carries "Content-Type: application/json", "Accept: application/json", the
/// project API key under `apiKeyHeader`, and "Authorization: Bearer <token>" only when a token
/// is given (a key or token holding a line break makes the session fail the request before
/// anything is sent). Completions run exactly once: on the calling thread, before
/// `post`/`get` return, for an invalid URL text or a body that does not encode;
/// otherwise on the main queue with the transport's error, "NetworkError" -2 / -3, the decoded
/// record with the HTTP status (whatever the status), an "APIError" carrying the status and
/// the service's "detail", or the record's decoding error. Nothing is logged.
class ApiService {
 public:
  /// The request header that carries the project API key. The service and this transport must
  /// agree on it; change it here for a deployment that expects another name.
  static constexpr const char* apiKeyHeader = "X-API-Key";

  template <class T>
  using Outcome = Result<std::pair<T, long>, platform::PlatformError>;
  template <class T>
  using Completion = std::function<void(Outcome<T>)>;

  /// `session` defaults to `HttpSession::shared()`, looked up when a request is sent.
  explicit ApiService(std::string projectApiKey, std::shared_ptr<platform::HttpSession> session = nullptr);
  static std::shared_ptr<ApiService> create(std::string projectApiKey,
                                            std::shared_ptr<platform::HttpSession> session = nullptr) {
    return std::make_shared<ApiService>(std::move(projectApiKey), std::move(session));
  }

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

  /// What the transport step yields before decoding: the body and the HTTP status, or an error.
  struct RawAnswer {
    std::string body;
    long status = 0;
  };
  using RawOutcome = Result<RawAnswer, platform::PlatformError>;

  /// Decodes a raw answer as `Response` by the rules above (record, then {"detail"}).
  template <class Response>
  static Outcome<Response> interpret(RawOutcome raw);

 private:
  /// Checks the URL and headers and starts the data task. Returns the error instead of sending
  /// when the request cannot be built; otherwise `onAnswer` runs once on the session's
  /// completion thread.
  std::optional<platform::PlatformError> start(const char* method, const std::string& urlString,
                                               std::optional<std::string> body,
                                               const std::optional<std::string>& token,
                                               std::function<void(RawOutcome)> onAnswer) const;

  template <class Response>
  void send(const char* method, const std::string& urlString, std::optional<std::string> body,
            const std::optional<std::string>& token, Completion<Response> completion) const {
    auto early = start(method, urlString, std::move(body), token, [completion](RawOutcome raw) {
      // Decoding runs here on the session's thread; only the result crosses to the main queue.
      auto outcome = std::make_shared<Outcome<Response>>(interpret<Response>(std::move(raw)));
      platform::mainQueue().async([completion, outcome]() {
        if (completion) completion(std::move(*outcome));
      });
    });
    if (early) deliverNow(completion, std::move(*early));
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
ApiService::Outcome<Response> ApiService::interpret(RawOutcome raw) {
  using O = Outcome<Response>;
  if (!raw) return O::failure(raw.error());
  const RawAnswer& answer = raw.value();
  auto parsed = json::parse(answer.body);
  if (!parsed) return O::failure(parsed.error());
  auto record = json::decodeValue<Response>(parsed.value());
  if (record) return O::success(std::make_pair(std::move(record.value()), answer.status));
  auto detail = json::decodeValue<APIErrorDetail>(parsed.value());
  if (detail) return O::failure(apiError(answer.status, detail.value().detail));
  return O::failure(record.error());
}

}  // namespace velqo
