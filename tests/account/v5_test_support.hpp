#pragma once

// Helpers for the V5 engine tests: a recording callback, an isolated item store, and the
// loopback reference service with its V5 peer and token endpoint.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "account/v5/velqo_auth_v5.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/token_endpoint.hpp"
#include "velqo_localservice/v5_peer.hpp"

namespace velqo::testing {

/// Generous bound for anything that waits on the loopback service (busy CI machines).
inline constexpr std::chrono::seconds kWaitBound{60};

/// Records every callback with the thread it came on.
class RecordingV5Callback : public AuthV5Callback {
 public:
  enum class Kind { otpRequired, success, error, code, additional };
  struct Event {
    explicit Event(Kind k, std::string a = {}, std::string b = {})
        : kind(k), first(std::move(a)), second(std::move(b)) {}
    Kind kind;
    std::string first;   ///< access token, error code text, authorization code, session id
    std::string second;  ///< refresh token, error message, detail
    bool isLoginFlow = false;
    std::optional<std::int64_t> expiresIn;
    bool onMainQueue = false;
    std::thread::id thread;
  };

  void onOtpRequired() override { add(Event(Kind::otpRequired)); }
  void onAuthSuccess(const std::optional<std::string>& access, const std::optional<std::string>& refresh,
                     bool isLoginFlow) override {
    Event e(Kind::success, access.value_or(""), refresh.value_or(""));
    e.isLoginFlow = isLoginFlow;
    add(std::move(e));
  }
  void onError(AuthV5ErrorCode code, const std::string& message) override {
    add(Event(Kind::error, std::string(code.rawValue()), message));
  }
  void onAuthorizationCode(const std::string& code, std::optional<std::int64_t> expiresIn) override {
    Event e(Kind::code, code);
    e.expiresIn = expiresIn;
    add(std::move(e));
  }
  void onAdditionalVerificationRequired(const std::string& sessionId,
                                        const std::optional<std::string>& detail) override {
    add(Event(Kind::additional, sessionId, detail.value_or("<none>")));
  }

  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return events_.size();
  }
  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  Event last() const {
    std::lock_guard lock(mutex_);
    return events_.empty() ? Event(Kind::error, "<no event>") : events_.back();
  }
  /// Runs the main queue until `n` events have arrived; false when the bound passes first.
  bool waitFor(std::size_t n) const {
    return platform::mainQueue().runUntil([&] { return count() >= n; }, kWaitBound);
  }

 private:
  void add(Event e) {
    e.onMainQueue = platform::mainQueue().isCurrent();
    e.thread = std::this_thread::get_id();
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(e));
  }
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

/// One engine against the loopback service, with its own in-memory item store.
class V5EngineFixture : public ::testing::Test {
 protected:
  void SetUp() override { platform::setItemStore(items); }
  void TearDown() override {
    platform::mainQueue().drain();
    platform::setItemStore(nullptr);
    platform::keys::setHardwareKeyMode(platform::HardwareKeyMode::available);
  }

  std::shared_ptr<VelqoAuthV5> makeEngine(bool sdkManaged = false) {
    std::optional<VelqoOAuthConfig> config;
    if (sdkManaged)
      config = VelqoOAuthConfig{tokens.url(), "client-v5", service.publicKeyPem(localservice::Curve::p256)};
    return VelqoAuthV5::create(ApiService::create("project-key"), config, EndPoints(service.baseUrl()));
  }

  /// Paths of the requests received since the last call.
  std::vector<std::string> takePaths() {
    std::vector<std::string> paths;
    for (const auto& r : service.requests()) paths.push_back(r.path);
    service.clearRequests();
    return paths;
  }

  std::shared_ptr<platform::InMemoryItemStore> items = platform::InMemoryItemStore::create();
  localservice::LocalService service;
  localservice::TokenEndpoint tokens{service};
  localservice::V5Peer peer{service,
                            localservice::V5Peer::Options{"", "123456", "127.0.0.1", "client-v5", &tokens}};
  std::shared_ptr<VelqoAuthV5> engine = makeEngine();
  std::shared_ptr<RecordingV5Callback> callback = std::make_shared<RecordingV5Callback>();
};

}  // namespace velqo::testing
