#include "core/transport/api_service.hpp"

#include <string>
#include <utility>

#include "platform/url.hpp"

namespace velqo {
namespace {

using platform::PlatformError;

bool isSuccessStatus(long status) {
  return status >= 200 && status <= 299;
}

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

ApiService::ApiService(std::string projectApiKey, std::shared_ptr<platform::HttpSession> session)
    : projectApiKey_(std::move(projectApiKey)), session_(std::move(session)) {}

PlatformError ApiService::apiError(long status, const std::optional<std::string>& detail) {
  return PlatformError(transport_error::apiDomain, status,
                       detail ? *detail : "API Error with status " + std::to_string(status));
}

std::optional<PlatformError> ApiService::start(const char* method, const std::string& urlString,
                                               std::optional<std::string> body,
                                               const std::optional<std::string>& token,
                                               std::function<void(RawOutcome)> onAnswer) const {
  auto url = platform::Url::parse(urlString);
  if (!url)
    return PlatformError(transport_error::networkDomain, transport_error::invalidURL, "Invalid URL provided");

  platform::HttpRequest request;
  request.url = url->text();
  request.method = method;
  request.headers = {
      {"Content-Type", "application/json"}, {"Accept", "application/json"}, {apiKeyHeader, projectApiKey_}};
  if (token) request.headers.emplace_back("Authorization", "Bearer " + *token);
  if (body) request.body = std::move(*body);

  auto session = session_ ? session_ : platform::HttpSession::shared();
  session->dataTask(std::move(request), [onAnswer = std::move(onAnswer)](
                                            std::optional<std::string> data,
                                            std::optional<platform::HttpResponse> response,
                                            std::optional<PlatformError> error) {
    if (error) {
      onAnswer(RawOutcome::failure(std::move(*error)));
      return;
    }
    if (!response) {
      onAnswer(RawOutcome::failure(PlatformError(
          transport_error::networkDomain, transport_error::invalidResponse, "Invalid response received")));
      return;
    }
    const long status = response->statusCode;
    if (!data || data->empty()) {
      std::string description = "No data received";
      if (isSuccessStatus(status)) description += " despite success status " + std::to_string(status);
      onAnswer(RawOutcome::failure(
          PlatformError(transport_error::networkDomain, transport_error::noData, std::move(description))));
      return;
    }
    onAnswer(RawOutcome::success(RawAnswer{std::move(*data), status}));
  });
  return std::nullopt;
}

}  // namespace velqo
