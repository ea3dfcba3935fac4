#pragma once

// V1 client test helpers: a completion catcher, base settings, an in-memory device trust.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/loopback_server.hpp"  // also carries the sanitizer settings of loopback tests
#include "support/wait_bound.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/v1/protocol/client.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/v1_peer.hpp"

namespace velqo::testing {

/// Keeps every result a completion reports, from any thread; `waitFor` blocks until enough
/// have arrived. With a session it also notes whether the call came on its completion thread.
template <class R>
class Catcher {
 public:
  explicit Catcher(std::shared_ptr<platform::HttpSession> session = nullptr) : session_(std::move(session)) {}

  auto callback() {
    return [this](const R& result) {
      // Notified under the lock: a waiter that wakes may destroy the catcher at once.
      std::lock_guard lock(mutex_);
      results_.push_back(result);
      callerThread_ = std::this_thread::get_id();
      onCompletionThread_ = session_ && session_->isCompletionThread();
      cv_.notify_all();
    };
  }
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout = kWaitBound) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return results_.size() >= count; });
  }
  std::vector<R> results() const {
    std::lock_guard lock(mutex_);
    return results_;
  }
  /// The first result, waiting up to `timeout` for it.
  std::optional<R> wait(std::chrono::milliseconds timeout = kWaitBound) {
    waitFor(1, timeout);
    std::lock_guard lock(mutex_);
    return results_.empty() ? std::nullopt : std::optional<R>(results_.front());
  }
  /// The one result of a single step (waits for it; fails the test when none or several came).
  R single() {
    EXPECT_TRUE(waitFor(1)) << "no completion";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a second call would show up now
    auto all = results();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? R() : all.front();
  }
  int calls() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(results_.size());
  }
  /// How many results satisfy `predicate` (counted under the lock, without copying them).
  template <class Predicate>
  std::size_t countIf(Predicate predicate) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(results_.begin(), results_.end(), predicate));
  }
  void clear() {
    std::lock_guard lock(mutex_);
    results_.clear();
  }
  bool onCompletionThread() const {
    std::lock_guard lock(mutex_);
    return onCompletionThread_;
  }
  std::thread::id callerThread() const {
    std::lock_guard lock(mutex_);
    return callerThread_;
  }

 private:
  std::shared_ptr<platform::HttpSession> session_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<R> results_;
  std::thread::id callerThread_;
  bool onCompletionThread_ = false;
};

using StateRecorder = Catcher<VelqoV1FlowState>;

inline const std::string kDeviceChallengePrompt =
    R"({"type":"device_challenge","challenge":"c","keyId":"k","algorithm":"a","domain":"d","combinedsalt":"s"})";

inline VelqoV1ClientConfig::Settings testSettings(const std::string& baseURL) {
  VelqoV1ClientConfig::Settings s;
  s.baseURL = baseURL;
  s.sdkName = "@velqo/test";
  s.sdkVersion = "9.8.7";
  s.platform = "ios";
  s.protocolVersion = 2;
  s.timeoutSeconds = 5;
  s.retryMaxAttempts = 2;
  s.retryBaseDelaySeconds = 0.01;
  s.deviceCredentialClearCodes = VelqoV1ClientConfig::defaultDeviceCredentialClearCodes();
  return s;
}

/// `start` with no start token, invite code or device information.
inline void startFlow(VelqoProtocolV1Client& client, VelqoV1FlowType flow, std::string identifier,
                      VelqoProtocolV1Client::Completion completion,
                      std::optional<std::string> challenge = std::nullopt,
                      std::optional<VelqoV1DeviceCredentials> credentials = std::nullopt) {
  client.start(flow, std::move(identifier), std::nullopt, std::nullopt, std::move(challenge), std::nullopt,
               std::move(credentials), std::move(completion));
}

/// Device-trust records kept in memory, keyed by identifier. Setup stores a record and asks
/// for a challenge; a challenge needs a stored record for that identifier. `failNextChallenge`
/// makes the next challenge run the given function first (a thrower ends it there).
class InMemoryDeviceTrust : public VelqoV1DeviceCryptoHandling {
 public:
  VelqoV1Action handleSetupDevice(const std::string& domain, const std::string&, const std::string&,
                                  const std::string& identifier) override {
    std::lock_guard lock(mutex_);
    const auto& c = records_[identifier] = {"keyset:" + identifier + "@" + domain, "hindex:" + identifier,
                                            "sk2:" + identifier};
    return VelqoV1Action::requestChallenge(c.keyset, c.hindex, c.sk2);
  }
  VelqoV1Action handleDeviceChallenge(const std::string& challenge, const std::string&,
                                      const std::string& keyId, const std::string&, const std::string& domain,
                                      const std::string&, const std::string&,
                                      const std::string& identifier) override {
    std::lock_guard lock(mutex_);
    if (auto fail = std::exchange(failNext_, nullptr)) fail();
    if (records_.count(identifier) == 0) throw VelqoV1DeviceCryptoError::deviceNotFound();
    return VelqoV1Action::submitSignature(keyId, "sig(" + challenge + "|" + domain + ")",
                                          "mapp:" + identifier);
  }
  std::optional<VelqoV1DeviceCredentials> deviceCredentials(const std::string& identifier) override {
    std::lock_guard lock(mutex_);
    ++credentialLookups_;
    auto it = records_.find(identifier);
    return it == records_.end() ? std::nullopt : std::optional(it->second);
  }
  void clearRecord(const std::string& identifier) override {
    std::lock_guard lock(mutex_);
    clearedFor_.push_back(identifier);
    records_.erase(identifier);
  }

  void store(const std::string& identifier, VelqoV1DeviceCredentials creds) {
    std::lock_guard lock(mutex_);
    records_[identifier] = std::move(creds);
  }
  void failNextChallenge(std::function<void()> thrower) {
    std::lock_guard lock(mutex_);
    failNext_ = std::move(thrower);
  }
  bool hasRecord(const std::string& identifier) const {
    std::lock_guard lock(mutex_);
    return records_.count(identifier) != 0;
  }
  int credentialLookups() const {
    std::lock_guard lock(mutex_);
    return credentialLookups_;
  }
  std::vector<std::string> clearedFor() const {
    std::lock_guard lock(mutex_);
    return clearedFor_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, VelqoV1DeviceCredentials> records_;
  std::function<void()> failNext_;
  int credentialLookups_ = 0;
  std::vector<std::string> clearedFor_;
};

/// A local service with its V1 endpoint and a fresh HTTP session (fresh connections, so a
/// dropped connection is never silently re-sent by the transport on a reused one).
struct V1ClientFixture : ::testing::Test {
  localservice::LocalService service;
  localservice::V1Peer peer{service};
  std::shared_ptr<platform::HttpSession> session = platform::HttpSession::create();

  std::shared_ptr<VelqoProtocolV1Client> makeClient(VelqoV1ClientConfig::Settings settings) {
    return VelqoProtocolV1Client::create(VelqoV1ClientConfig::withConfigId("cfg-test", std::move(settings)),
                                         session);
  }
  std::shared_ptr<VelqoProtocolV1Client> makeClient() { return makeClient(testSettings(peer.baseURL())); }
  /// A client whose device-trust handler is `handler`.
  std::shared_ptr<VelqoProtocolV1Client> makeClient(std::shared_ptr<VelqoV1DeviceCryptoHandling> handler) {
    auto settings = testSettings(peer.baseURL());
    settings.deviceCryptoHandler = std::move(handler);
    return makeClient(settings);
  }
  /// A start (by default a signup with a caller challenge: no credential lookup) and its final state.
  static VelqoV1FlowState startOnce(VelqoProtocolV1Client& client, std::string identifier,
                                    VelqoV1FlowType flow = VelqoV1FlowType::signup,
                                    std::optional<std::string> challenge = "c") {
    StateRecorder done;
    startFlow(client, flow, std::move(identifier), done.callback(), std::move(challenge));
    return done.single();
  }
  /// Sends a poll and returns its one final state.
  static VelqoV1FlowState pollOnce(VelqoProtocolV1Client& client) {
    StateRecorder done;
    client.poll(done.callback());
    return done.single();
  }
};

}  // namespace velqo::testing
