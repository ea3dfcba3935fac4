#include "account/form/post_form.hpp"

#include <utility>

#include "account/form/form_encoding.hpp"
#include "core/transport/json_codec.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/queue.hpp"

namespace velqo {
namespace {

using platform::PlatformError;

FormOutcome interpret(const std::string& url, std::optional<std::string> body,
                      const std::optional<platform::HttpResponse>& response,
                      std::optional<PlatformError> error) {
  if (error) return FormOutcome::failure(std::move(*error));
  if (!response) {
    return FormOutcome::failure(
        PlatformError(form_error::domain, form_error::invalidResponse, "Invalid response type for " + url));
  }
  if (!body || body->empty()) {
    return FormOutcome::failure(
        PlatformError(form_error::domain, form_error::noData, "No data received for " + url));
  }
  auto decoded = json::decode<OAuthTokenResponse>(*body);
  wipe(*body);
  if (!decoded) return FormOutcome::failure(decoded.error());
  return FormOutcome::success(std::make_pair(std::move(decoded.value()), response->statusCode));
}

}  // namespace

void postForm(const std::string& url, const FormParameters& parameters, FormCompletion completion,
              std::shared_ptr<platform::HttpSession> session) {
  platform::HttpRequest request;
  request.url = url;
  request.method = "POST";
  request.timeoutSeconds = 60.0;
  request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  request.body = account::detail::encodeTokenForm(parameters);

  if (!session) session = platform::HttpSession::shared();
  session->dataTask(std::move(request), [url, completion = std::move(completion)](
                                            std::optional<std::string> body,
                                            std::optional<platform::HttpResponse> response,
                                            std::optional<PlatformError> error) {
    // Decoding runs on the session's thread; only the outcome crosses to the main queue.
    auto outcome = std::make_shared<FormOutcome>(interpret(url, std::move(body), response, std::move(error)));
    platform::mainQueue().async([completion, outcome]() {
      if (completion) completion(std::move(*outcome));
    });
  });
}

}  // namespace velqo
