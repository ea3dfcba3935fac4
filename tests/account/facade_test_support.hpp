#pragma once

// The account facade against the loopback reference service: a fresh item store and user
// defaults per test, the service's push, web-login and device-list peers, and recording
// callbacks. Callbacks arrive on the main queue, which only the test thread drives.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/test_environment.hpp"
#include "velqo/account/velqo_sdk.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/user_defaults.hpp"
#include "velqo_localservice/device_list_peer.hpp"
#include "velqo_localservice/push_peer.hpp"
#include "velqo_localservice/web_login_peer.hpp"

namespace velqo::testing {

using namespace std::chrono_literals;

/// Drives the main queue until the condition holds (generous bound for busy machines).
inline bool runUntil(const std::function<bool()>& condition) {
  return platform::mainQueue().runUntil(condition, 30s);
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

/// One web-login or device-list outcome: "success" or the error's raw code.
struct RecordingOutcome : WebLoginCallback, DevSessionCallback {
  std::optional<std::string> result;
  std::string message;
  int calls = 0;
  void showError(WebLoginErrorCode code, const std::string& text) override {
    result = std::string(code.rawValue());
    message = text;
    ++calls;
  }
  void onSuccess() override {
    result = "success";
    ++calls;
  }
  void showError() override {
    result = "error";
    ++calls;
  }
  bool await() {
    return runUntil([this] { return calls > 0; });
  }
};

class FacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setItemStore(items);
    platform::UserDefaults::setStandard(
        platform::UserDefaults::open(makeTempDirectory("defaults") / "defaults.json"));
    defaults = platform::UserDefaults::standard();
    sdk = VelqoSDK::create("proj-key-123456", service.baseUrl());
  }
  void TearDown() override {
    sdk.reset();
    platform::mainQueue().drain();
    platform::UserDefaults::setStandard(nullptr);
    platform::setItemStore(nullptr);
  }

  /// Signs `user` in the way a host with its own back end does: a token the service accepts,
  /// stored through the facade, then the sign-in notice.
  std::string signIn(const std::string& user) {
    std::string token = tokens->issue(user);
    EXPECT_TRUE(sdk->storeBackendOAuthTokens(token, std::nullopt, user));
    sdk->userDidAuthenticate();
    return token;
  }

  std::shared_ptr<platform::InMemoryItemStore> items = platform::InMemoryItemStore::create();
  std::shared_ptr<platform::UserDefaults> defaults;
  localservice::LocalService service;
  std::shared_ptr<localservice::AccessTokens> tokens = std::make_shared<localservice::AccessTokens>();
  localservice::PushPeer push{service, tokens};
  localservice::WebLoginPeer web{service, tokens};
  localservice::DeviceListPeer devices{service, tokens};
  std::shared_ptr<VelqoSDK> sdk;
};

}  // namespace velqo::testing
