#include "velqo/platform/web_auth_session.hpp"

#include <utility>

namespace velqo::platform {
namespace {

std::mutex& factoryMutex() {
  static std::mutex mutex;
  return mutex;
}

WebAuthenticationSessionFactory& installedFactory() {
  static WebAuthenticationSessionFactory factory;
  return factory;
}

}  // namespace

PlatformError webAuthenticationCancelledError() {
  return PlatformError(domain::webAuthentication, webAuthenticationError::cancelledLogin,
                       "The user cancelled the sign-in.");
}

std::shared_ptr<WebAuthenticationSession> makeWebAuthenticationSession() {
  WebAuthenticationSessionFactory factory;
  {
    std::lock_guard lock(factoryMutex());
    factory = installedFactory();
  }
  if (factory) {
    if (auto session = factory()) return session;
  }
  return CommandLineWebAuthenticationSession::create();
}

void setWebAuthenticationSessionFactory(WebAuthenticationSessionFactory factory) {
  std::lock_guard lock(factoryMutex());
  installedFactory() = std::move(factory);
}

}  // namespace velqo::platform
