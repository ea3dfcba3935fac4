#pragma once

// The account facade against the loopback reference service with its V5, push, web-login and
// device-list peers; a fresh item store and user defaults per test. Callbacks arrive on the
// main queue, which only the test thread drives.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account/recording_callback.hpp"
#include "support/faulty_item_store.hpp"
#include "support/scoped_platform_settings.hpp"
#include "support/test_environment.hpp"
#include "support/wait_bound.hpp"
#include "velqo/account/velqo_sdk.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/user_defaults.hpp"
#include "velqo_localservice/device_list_peer.hpp"
#include "velqo_localservice/push_peer.hpp"
#include "velqo_localservice/v5_peer.hpp"
#include "velqo_localservice/web_login_peer.hpp"

namespace velqo::testing {

/// Drives the main queue until the condition holds (generous bound for busy machines).
inline bool runUntil(const std::function<bool()>& condition) {
  return platform::mainQueue().runUntil(condition, kWaitBound);
}

struct RecordingDelegate : VelqoPushAuthDelegate {
  std::vector<std::pair<std::string, PushLoginRequestDetails>> received;
  std::vector<platform::PlatformError> failures;
  void didReceiveLoginRequest(const std::string& id, const PushLoginRequestDetails& details) override {
    received.emplace_back(id, details);
  }
  void failedToFetchLoginRequestDetails(const platform::PlatformError& error) override {
    failures.push_back(error);
  }
  std::size_t calls() const { return received.size() + failures.size(); }
};

class FacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.setItemStore(items);
    settings.setUserDefaults(platform::UserDefaults::open(makeTempDirectory("defaults") / "defaults.json"));
    defaults = platform::UserDefaults::standard();
    v5.grantTokensTo(tokens);
    sdk = VelqoSDK::create("proj-key-123456", service.baseUrl());
  }
  void TearDown() override {
    sdk.reset();
    platform::mainQueue().drain();
  }

  /// Signs `user` in with V5 through the facade (registration with the service's code, which
  /// ends with the first tokens), then gives the sign-in notice.
  void signIn(const std::string& user) {
    auto callback = std::make_shared<RecordingCallback>();
    sdk->authenticateV5(user, callback);
    ASSERT_TRUE(callback->waitFor(1));
    ASSERT_EQ(callback->last().kind, "otp");
    sdk->submitOtpV5("123456");
    ASSERT_TRUE(callback->waitFor(2));
    ASSERT_EQ(callback->last().kind, "success") << callback->last().second;
    ASSERT_EQ(sdk->getLastLoggedInUser(), user);
    sdk->userDidAuthenticate();
  }
  /// Signs `user` in as a host with its own back end does: a token the service accepts.
  void signInThroughBackend(const std::string& user) {
    ASSERT_TRUE(sdk->storeBackendOAuthTokens(tokens->issue(user), std::nullopt, user));
    sdk->userDidAuthenticate();
  }
  /// One push-action round trip: requests handed over before it have reached the service.
  void settle() {
    bool done = false;
    sdk->declineLoginRequest("settle", [&](const auto&) { done = true; });
    ASSERT_TRUE(runUntil([&] { return done; }));
  }
  std::optional<std::string> registeredToken(const std::string& user) {
    return defaults->string("velqo_sdk_last_registered_apns_token_" + user);
  }
  std::optional<std::string> storedText(const std::string& key) {
    auto data = defaults->data(key);
    return data ? std::optional<std::string>(std::string(data->begin(), data->end())) : std::nullopt;
  }

  ScopedPlatformSettings settings;
  std::shared_ptr<FaultyItemStore> items = FaultyItemStore::create();
  std::shared_ptr<platform::UserDefaults> defaults;
  localservice::LocalService service;
  std::shared_ptr<localservice::AccessTokens> tokens = std::make_shared<localservice::AccessTokens>();
  localservice::V5Peer v5{service, {}};
  localservice::PushPeer push{service, tokens};
  localservice::WebLoginPeer web{service, tokens};
  localservice::DeviceListPeer devices{service, tokens};
  std::shared_ptr<VelqoSDK> sdk;
};

}  // namespace velqo::testing
