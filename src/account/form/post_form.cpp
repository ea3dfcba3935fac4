#include "account/form/post_form.hpp"

#include <utility>

#include "account/form/form_encoding.hpp"

namespace velqo {

void postForm(const std::string& url, const FormParameters& parameters, FormCompletion completion,
              std::shared_ptr<platform::HttpSession> session) {
  ApiService::postEncoded<OAuthTokenResponse>(
      url, ApiService::EncodedBody{account::detail::encodeTokenForm(parameters), formContentType},
      std::move(completion), std::move(session));
}

}  // namespace velqo
