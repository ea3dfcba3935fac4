#pragma once

// Helpers for the V5 engine tests: a recording callback, an isolated item store, and the
// loopback reference service with its V5 peer and token endpoint.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "account/v5/velqo_auth_v5.hpp"
#include "velqo/platform/clock.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo_localservice/token_endpoint.hpp"
#include "velqo_localservice/v5_peer.hpp"

namespace velqo::testing {

/// Generous bound for anything that waits on the loopback service (busy CI machines).
inline constexpr std::chrono::seconds kWaitBound{60};

/// Sets the library's clock to `seconds` since 1970 (the fixtures put the system clock back).
inline void setNow(double seconds) {
  platform::setClockOverride([seconds] {
    return platform::WallClock::time_point(
        std::chrono::duration_cast<platform::WallClock::duration>(std::chrono::duration<double>(seconds)));
  });
}

/// Records every callback, and whether it came on the main queue.
class RecordingV5Callback : public AuthV5Callback {
 public:
  enum class Kind { otpRequired, success, error, code, additional };
  struct Event {
    Kind kind = Kind::error;
    std::string first;   ///< access token, error code text, authorization code, session id
    std::string second;  ///< refresh token, error message, detail
    bool isLoginFlow = false;
    std::optional<std::int64_t> expiresIn;
    bool onMainQueue = false;
  };

  void onOtpRequired() override { add(Kind::otpRequired); }
  void onAuthSuccess(const std::optional<std::string>& a, const std::optional<std::string>& r,
                     bool login) override {
    add(Kind::success, a.value_or(""), r.value_or(""), login);
  }
  void onError(AuthV5ErrorCode code, const std::string& message) override {
    add(Kind::error, std::string(code.rawValue()), message);
  }
  void onAuthorizationCode(const std::string& code, std::optional<std::int64_t> expiresIn) override {
    add(Kind::code, code, {}, false, expiresIn);
  }
  void onAdditionalVerificationRequired(const std::string& id,
                                        const std::optional<std::string>& detail) override {
    add(Kind::additional, id, detail.value_or("<none>"));
  }

  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return events_.size();
  }
  Event last() const {
    std::lock_guard lock(mutex_);
    return events_.empty() ? Event{} : events_.back();
  }
  /// Runs the main queue until `n` events have arrived; false when the bound passes first.
  bool waitFor(std::size_t n) const {
    return platform::mainQueue().runUntil([&] { return count() >= n; }, kWaitBound);
  }

 private:
  void add(Kind kind, std::string first = {}, std::string second = {}, bool login = false,
           std::optional<std::int64_t> expiresIn = std::nullopt) {
    std::lock_guard lock(mutex_);
    events_.push_back(Event{kind, std::move(first), std::move(second), login, expiresIn,
                            platform::mainQueue().isCurrent()});
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
    platform::setClockOverride({});
  }

  std::shared_ptr<VelqoAuthV5> makeEngine(bool sdkManaged = false) {
    std::optional<VelqoOAuthConfig> config;
    if (sdkManaged)
      config = VelqoOAuthConfig{tokens.url(), "client-v5", service.publicKeyPem(localservice::Curve::p256)};
    return VelqoAuthV5::create(ApiService::create("project-key"), config, EndPoints(service.baseUrl()));
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
