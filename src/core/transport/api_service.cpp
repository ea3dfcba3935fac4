#include "core/transport/api_service.hpp"

#include <string>
#include <utility>

#include "core/transport/http_status.hpp"
#include "platform/url.hpp"

namespace velqo {
namespace {

using platform::PlatformError;

}  // namespace

void from_json(const json::Value& value, APIErrorDetail& out) {
  if (!value.is_object()) throw json::DecodeError(json::DecodeFailure::typeMismatch, "expected an object");
  out.detail.reset();
  auto it = value.find("detail");
  if (it == value.end() || it->is_null()) return;
  if (!it->is_string()) {
    throw json::DecodeError(json::DecodeFailure::typeMismatch, "expected a string").underKey("detail");
  }
  out.detail = it->get<std::string>();
}

std::shared_ptr<ApiService> ApiService::create(std::string projectApiKey,
                                               std::shared_ptr<platform::HttpSession> session) {
  return std::make_shared<ApiService>(Passkey{}, std::move(projectApiKey), std::move(session));
}

ApiService::ApiService(Passkey, std::string projectApiKey, std::shared_ptr<platform::HttpSession> session)
    : projectApiKey_(std::move(projectApiKey)), session_(std::move(session)) {}

PlatformError ApiService::apiError(long status, const std::optional<std::string>& detail) {
  return PlatformError(transport_error::apiDomain, status,
                       detail ? *detail : "API Error with status " + std::to_string(status));
}

Result<platform::HttpRequest, PlatformError> ApiService::jsonRequest(
    const char* method, const std::string& urlString, std::optional<std::string> body,
    const std::optional<std::string>& token) const {
  using R = Result<platform::HttpRequest, PlatformError>;
  auto url = platform::Url::parse(urlString);
  if (!url) {
    return R::failure(
        PlatformError(transport_error::networkDomain, transport_error::invalidURL, "Invalid URL provided"));
  }
  platform::HttpRequest request;
  request.url = url->text();
  request.method = method;
  request.headers = {
      {"Content-Type", "application/json"}, {"Accept", "application/json"}, {apiKeyHeader, projectApiKey_}};
  if (token) request.headers.emplace_back("Authorization", "Bearer " + *token);
  if (body) request.body = std::move(*body);
  return R::success(std::move(request));
}

platform::HttpRequest ApiService::encodedRequest(const std::string& urlString, EncodedBody body) {
  platform::HttpRequest request;
  request.url = urlString;
  request.method = "POST";
  request.timeoutSeconds = 60.0;
  request.headers.emplace_back("Content-Type", std::move(body.contentType));
  request.body = std::move(body.text);
  return request;
}

void ApiService::run(std::shared_ptr<platform::HttpSession> session, platform::HttpRequest request,
                     Wording wording, std::string urlString, std::function<void(RawOutcome)> onAnswer) {
  if (!session) session = platform::HttpSession::shared();
  session->dataTask(
      std::move(request), [wording, urlString = std::move(urlString), onAnswer = std::move(onAnswer)](
                              std::optional<std::string> data, std::optional<platform::HttpResponse> response,
                              std::optional<PlatformError> error) {
        if (error) {
          onAnswer(RawOutcome::failure(std::move(*error)));
          return;
        }
        if (!response) {
          onAnswer(RawOutcome::failure(
              PlatformError(transport_error::networkDomain, transport_error::invalidResponse,
                            wording == Wording::plain ? "Invalid response received"
                                                      : "Invalid response type for " + urlString)));
          return;
        }
        const long status = response->statusCode;
        if (!data || data->empty()) {
          std::string description;
          if (wording == Wording::plain) {
            description = "No data received";
            if (isSuccessStatus(status)) description += " despite success status " + std::to_string(status);
          } else {
            description = "No data received for " + urlString;
          }
          onAnswer(RawOutcome::failure(PlatformError(transport_error::networkDomain, transport_error::noData,
                                                     std::move(description))));
          return;
        }
        onAnswer(RawOutcome::success(RawAnswer{std::move(*data), status}));
      });
}

}  // namespace velqo
