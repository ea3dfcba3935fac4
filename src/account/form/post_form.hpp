#pragma once

// The token endpoint's form POST shared by the account engines (internal).

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "api/models/oauth_records.hpp"
#include "core/transport/api_service.hpp"
#include "velqo/platform/http.hpp"

namespace velqo {

/// The decoded answer with its HTTP status, or an error object.
using FormOutcome = ApiService::Outcome<OAuthTokenResponse>;
using FormCompletion = ApiService::Completion<OAuthTokenResponse>;
/// Form parameters in the order they are sent.
using FormParameters = std::vector<std::pair<std::string, std::string>>;

/// The media type of the form body.
inline constexpr const char* formContentType = "application/x-www-form-urlencoded";

/// POSTs the parameters as an "application/x-www-form-urlencoded" body (the only header sent;
/// 60-second time-out) to `url` through `ApiService::postEncoded` and returns at once.
/// `completion` runs exactly once, always on the main queue (also when the request fails at
/// once), with: the transport's error; a "NetworkError" -2 ("Invalid response type for " + URL)
/// or -3 ("No data received for " + URL) error; or the body decoded as an OAuthTokenResponse
/// with the HTTP status, whatever the status (an error body of any JSON object decodes); or
/// the decoding error. `session` defaults to HttpSession::shared().
void postForm(const std::string& url, const FormParameters& parameters, FormCompletion completion,
              std::shared_ptr<platform::HttpSession> session = nullptr);

}  // namespace velqo
