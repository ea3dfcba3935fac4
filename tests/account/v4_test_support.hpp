#pragma once

// A V4 engine wired to the loopback reference service.

#include <memory>
#include <optional>
#include <string>

#include "account/recording_callback.hpp"
#include "account/v4/velqo_auth_v4.hpp"
#include "support/faulty_item_store.hpp"
#include "support/scoped_platform_settings.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo_localservice/token_endpoint.hpp"
#include "velqo_localservice/v4_peer.hpp"

namespace velqo::testing {

/// A fresh in-memory keychain, the loopback service with its V4 peer and token endpoint, and
/// an engine configured for them.
struct V4Rig {
  ScopedPlatformSettings settings;
  std::shared_ptr<FaultyItemStore> store = FaultyItemStore::create();
  localservice::LocalService service;
  localservice::TokenEndpoint tokens{service};
  localservice::V4Peer peer{service, &tokens};
  std::shared_ptr<ApiService> api = ApiService::create("pk_test_v4");

  V4Rig() { settings.setItemStore(store); }

  VelqoOAuthConfig oauth() const {
    return {tokens.url(), "velqo-v4-client", service.publicKeyPem(localservice::Curve::p256)};
  }
  std::shared_ptr<VelqoAuthV4> engine(std::optional<VelqoOAuthConfig> config) const {
    return VelqoAuthV4::create(api, std::move(config), EndPoints(peer.baseURL()));
  }
  std::shared_ptr<VelqoAuthV4> engine() const { return engine(oauth()); }

  /// Runs the registration road for `user` (auth-init, then the peer's one-time code) to its
  /// last callback.
  CallbackEvent registration(VelqoAuthV4& engine, const std::string& user,
                             std::optional<std::string> otp = std::nullopt) {
    auto callback = std::make_shared<RecordingCallback>();
    engine.authenticate(user, callback);
    if (!callback->waitFor(1) || callback->last().kind != "otp") return callback->last();
    engine.submitOtp(otp ? *otp : peer.otpFor(user).value_or(""));
    callback->waitFor(2);
    return callback->last();
  }
  bool registerDevice(VelqoAuthV4& engine, const std::string& user) {
    return registration(engine, user).kind == "success";
  }
};

}  // namespace velqo::testing
