#include "velqo/v1/flows/oauth_redirect_session.hpp"

#include <utility>

#include "platform/url.hpp"

namespace velqo {
namespace {

using RedirectResult = VelqoV1OAuthRedirectSession::RedirectResult;

void complete(const VelqoV1OAuthRedirectSession::Completion& completion,
              const RedirectResult& result) noexcept {
  if (!completion) return;
  try {
    completion(result);
  } catch (...) {
    // A host completion's exception must not unwind into the platform session.
  }
}

// A scheme given as a whole URL ("myapp://callback") is reduced to its scheme.
std::string callbackSchemeOf(const std::string& text) {
  if (text.find("://") == std::string::npos) return text;
  if (auto url = platform::Url::parse(text)) {
    std::string scheme = url->scheme();
    if (!scheme.empty()) return scheme;
  }
  return text;
}

}  // namespace

VelqoV1OAuthRedirectError::VelqoV1OAuthRedirectError(Case c, std::string description, const std::string& text)
    : platform::PlatformError("VelqoV1OAuthRedirectError", static_cast<long>(c), text),
      case_(c),
      description_(std::move(description)) {}

VelqoV1OAuthRedirectError VelqoV1OAuthRedirectError::failed(std::string description) {
  std::string text = description;
  return VelqoV1OAuthRedirectError(Case::failed, std::move(description), text);
}

VelqoV1OAuthRedirectError VelqoV1OAuthRedirectError::cancelled() {
  return VelqoV1OAuthRedirectError(Case::cancelled, {}, "The sign-in was cancelled.");
}

VelqoV1OAuthRedirectError VelqoV1OAuthRedirectError::invalidCallback() {
  return VelqoV1OAuthRedirectError(Case::invalidCallback, {},
                                   "The sign-in did not return a valid callback URL.");
}

VelqoV1OAuthRedirectSession::VelqoV1OAuthRedirectSession(
    Passkey, platform::PresentationAnchorProvider presentationAnchorProvider)
    : presentationAnchorProvider_(std::move(presentationAnchorProvider)) {}

std::shared_ptr<VelqoV1OAuthRedirectSession> VelqoV1OAuthRedirectSession::create(
    platform::PresentationAnchorProvider presentationAnchorProvider) {
  return std::make_shared<VelqoV1OAuthRedirectSession>(Passkey{}, std::move(presentationAnchorProvider));
}

void VelqoV1OAuthRedirectSession::start(const std::string& url,
                                        const std::optional<std::string>& callbackScheme,
                                        bool prefersEphemeralSession, Completion completion) {
  if (!callbackScheme || callbackScheme->empty()) {
    complete(completion, RedirectResult::failure(VelqoV1OAuthRedirectError::invalidCallback()));
    return;
  }

  platform::WebAuthenticationSession::Parameters parameters;
  parameters.url = url;
  parameters.callbackScheme = callbackSchemeOf(*callbackScheme);
  parameters.prefersEphemeralSession = prefersEphemeralSession;
  std::weak_ptr<VelqoV1OAuthRedirectSession> weak = weak_from_this();
  parameters.presentationAnchorProvider = [weak]() -> platform::PresentationAnchor {
    auto self = weak.lock();
    return self ? self->presentationAnchor() : nullptr;
  };

  // The platform session holds the completion; the completion touches nothing of this object.
  auto onDone = [completion = std::move(completion)](std::optional<std::string> callbackURL,
                                                     std::optional<platform::PlatformError> error) {
    if (error && error->domain() == platform::domain::webAuthentication) {
      if (error->code() == platform::webAuthenticationError::cancelledLogin) {
        complete(completion, RedirectResult::failure(VelqoV1OAuthRedirectError::cancelled()));
      } else {
        complete(completion,
                 RedirectResult::failure(VelqoV1OAuthRedirectError::failed(error->localizedDescription())));
      }
      return;
    }
    if (callbackURL) {
      complete(completion, RedirectResult::success(std::move(*callbackURL)));
    } else {
      complete(completion, RedirectResult::failure(VelqoV1OAuthRedirectError::invalidCallback()));
    }
  };

  std::shared_ptr<platform::WebAuthenticationSession> session = platform::makeWebAuthenticationSession();
  std::shared_ptr<platform::WebAuthenticationSession> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::exchange(authSession_, session);
  }
  previous.reset();  // released, not cancelled (outside the lock: its destructor may wait)
  // Whether the platform reports that it started is not looked at.
  (void)session->start(std::move(parameters), std::move(onDone));
}

void VelqoV1OAuthRedirectSession::cancel() {
  std::shared_ptr<platform::WebAuthenticationSession> session;
  {
    std::lock_guard lock(mutex_);
    session = std::exchange(authSession_, nullptr);
  }
  if (session) session->cancel();
}

platform::PresentationAnchor VelqoV1OAuthRedirectSession::presentationAnchor() const {
  return presentationAnchorProvider_ ? presentationAnchorProvider_() : nullptr;
}

bool VelqoV1OAuthRedirectSession::hasSession() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(authSession_);
}

}  // namespace velqo
