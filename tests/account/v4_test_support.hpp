#pragma once

// A V4 engine wired to the loopback reference service, and a callback that records what the
// host would see.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "account/v4/velqo_auth_v4.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo_localservice/token_endpoint.hpp"
#include "velqo_localservice/v4_peer.hpp"

namespace velqo::testing {

/// Everything the host saw, in order.
class RecordingV4Callback : public AuthV4Callback {
 public:
  struct Event {
    std::string kind;  ///< "otp", "success", "error"
    std::optional<std::string> accessToken;
    bool isLoginFlow = false;
    std::optional<AuthV4ErrorCode> code;
    std::string message;
    bool onMainQueue = false;
  };

  void onOtpRequired() override { add("otp"); }
  void onAuthSuccess(const std::optional<std::string>& accessToken,
                     const std::optional<std::string>& refreshToken, bool isLoginFlow) override {
    add("success", accessToken, isLoginFlow, std::nullopt, refreshToken ? "unexpected refresh token" : "");
  }
  void onError(AuthV4ErrorCode errorCode, const std::string& errorMessage) override {
    add("error", std::nullopt, false, errorCode, errorMessage);
  }

  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  /// Runs the main queue until `count` events arrived (generous bound for busy machines).
  bool waitFor(std::size_t count) const {
    return platform::mainQueue().runUntil([&] { return events().size() >= count; }, std::chrono::seconds(60));
  }
  /// The same until an event of that kind arrived.
  bool waitFor(const std::string& kind) const {
    auto heard = [&] {
      for (const auto& e : events())
        if (e.kind == kind) return true;
      return false;
    };
    return platform::mainQueue().runUntil(heard, std::chrono::seconds(60));
  }
  Event last() const { return events().back(); }

 private:
  void add(std::string kind, std::optional<std::string> token = std::nullopt, bool login = false,
           std::optional<AuthV4ErrorCode> code = std::nullopt, std::string message = {}) {
    Event e{std::move(kind),
            std::move(token),
            login,
            code,
            std::move(message),
            platform::mainQueue().isCurrent()};
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(e));
  }
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

/// A fresh in-memory keychain, the loopback service with its V4 peer and token endpoint, and
/// an engine configured for them.
struct V4Rig {
  std::shared_ptr<platform::InMemoryItemStore> store = platform::InMemoryItemStore::create();
  localservice::LocalService service;
  localservice::TokenEndpoint tokens{service};
  localservice::V4Peer peer{service, &tokens};
  std::shared_ptr<ApiService> api = ApiService::create("pk_test_v4");

  V4Rig() { platform::setItemStore(store); }
  ~V4Rig() { platform::setItemStore(nullptr); }

  VelqoOAuthConfig oauth() const {
    return {tokens.url(), "velqo-v4-client", service.publicKeyPem(localservice::Curve::p256)};
  }
  std::shared_ptr<VelqoAuthV4> engine(std::optional<VelqoOAuthConfig> config) const {
    return VelqoAuthV4::create(api, std::move(config), EndPoints(peer.baseURL()));
  }
  std::shared_ptr<VelqoAuthV4> engine() const { return engine(oauth()); }

  /// Runs the registration road for `user` (auth-init, then the peer's one-time code) to its
  /// last callback.
  RecordingV4Callback::Event registration(VelqoAuthV4& engine, const std::string& user,
                                          std::optional<std::string> otp = std::nullopt) {
    auto callback = std::make_shared<RecordingV4Callback>();
    engine.authenticate(user, callback);
    if (!callback->waitFor(1) || callback->last().kind != "otp") return callback->events().back();
    engine.submitOtp(otp ? *otp : peer.otpFor(user).value_or(""));
    callback->waitFor(2);
    return callback->last();
  }
  bool registerDevice(VelqoAuthV4& engine, const std::string& user) {
    return registration(engine, user).kind == "success";
  }
};

}  // namespace velqo::testing
