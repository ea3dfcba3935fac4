#pragma once

// Helpers for the V5 engine tests: an isolated item store, and the loopback reference service
// with its V5 peer and token endpoint.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

#include "account/recording_callback.hpp"
#include "account/v5/velqo_auth_v5.hpp"
#include "support/faulty_item_store.hpp"
#include "support/scoped_platform_settings.hpp"
#include "velqo/platform/clock.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo_localservice/token_endpoint.hpp"
#include "velqo_localservice/v5_peer.hpp"

namespace velqo::testing {

/// A clock for the library that reads `seconds` since 1970 (the fixtures' `setNow`).
inline ScopedPlatformSettings::Clock clockAt(double seconds) {
  return [seconds] {
    return platform::WallClock::time_point(
        std::chrono::duration_cast<platform::WallClock::duration>(std::chrono::duration<double>(seconds)));
  };
}

/// One engine against the loopback service, with its own in-memory item store.
class V5EngineFixture : public ::testing::Test {
 protected:
  void SetUp() override { settings.setItemStore(items); }
  void TearDown() override { platform::mainQueue().drain(); }
  /// Sets the library's clock to `seconds` since 1970 until the test ends.
  void setNow(double seconds) { settings.setClock(clockAt(seconds)); }

  std::shared_ptr<VelqoAuthV5> makeEngine(bool sdkManaged = false) {
    std::optional<VelqoOAuthConfig> config;
    if (sdkManaged)
      config = VelqoOAuthConfig{tokens.url(), "client-v5", service.publicKeyPem(localservice::Curve::p256)};
    return VelqoAuthV5::create(ApiService::create("project-key"), config, EndPoints(service.baseUrl()));
  }

  ScopedPlatformSettings settings;
  std::shared_ptr<FaultyItemStore> items = FaultyItemStore::create();
  localservice::LocalService service;
  localservice::TokenEndpoint tokens{service};
  localservice::V5Peer peer{service,
                            localservice::V5Peer::Options{"", "123456", "127.0.0.1", "client-v5", &tokens}};
  std::shared_ptr<VelqoAuthV5> engine = makeEngine();
  std::shared_ptr<RecordingCallback> callback = std::make_shared<RecordingCallback>();
};

}  // namespace velqo::testing
