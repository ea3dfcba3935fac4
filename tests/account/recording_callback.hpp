#pragma once

// One recorder for every account callback (V4, V5, web login, device list): what the host saw,
// in order, and whether it came on the main queue.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/wait_bound.hpp"
#include "velqo/account/auth_v4_callback.hpp"
#include "velqo/account/auth_v5_callback.hpp"
#include "velqo/account/dev_session_callback.hpp"
#include "velqo/account/web_login_callback.hpp"
#include "velqo/platform/queue.hpp"

namespace velqo::testing {

struct CallbackEvent {
  std::string kind;    ///< "otp", "success", "code", "additional" or "error"
  std::string first;   ///< access token, error code text, authorization code, session id
  std::string second;  ///< refresh token, error message, detail
  bool isLoginFlow = false;
  std::optional<std::int64_t> expiresIn;
  bool onMainQueue = false;

  /// The code text of an error that has one, else the kind.
  std::string result() const { return kind == "error" && !first.empty() ? first : kind; }
};

class RecordingCallback : public AuthV4Callback,
                          public AuthV5Callback,
                          public WebLoginCallback,
                          public DevSessionCallback {
 public:
  void onOtpRequired() override { add("otp"); }
  void onAuthSuccess(const std::optional<std::string>& access, const std::optional<std::string>& refresh,
                     bool isLoginFlow) override {
    add("success", access.value_or(""), refresh.value_or(""), isLoginFlow);
  }
  void onError(AuthV4ErrorCode code, const std::string& text) override {
    add("error", std::string(code.rawValue()), text);
  }
  void onError(AuthV5ErrorCode code, const std::string& text) override {
    add("error", std::string(code.rawValue()), text);
  }
  void onAuthorizationCode(const std::string& code, std::optional<std::int64_t> expiresIn) override {
    add("code", code, {}, false, expiresIn);
  }
  void onAdditionalVerificationRequired(const std::string& id,
                                        const std::optional<std::string>& detail) override {
    add("additional", id, detail.value_or("<none>"));
  }
  void showError(WebLoginErrorCode code, const std::string& text) override {
    add("error", std::string(code.rawValue()), text);
  }
  void onSuccess() override { add("success"); }
  void showError() override { add("error"); }

  std::vector<CallbackEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t count() const { return events().size(); }
  /// The latest event (an empty one before any).
  CallbackEvent last() const {
    const auto all = events();
    return all.empty() ? CallbackEvent{} : all.back();
  }
  /// Runs the main queue until `n` events have arrived; false when the bound passes first.
  bool waitFor(std::size_t n) const {
    return platform::mainQueue().runUntil([&] { return count() >= n; }, kWaitBound);
  }

 private:
  void add(std::string kind, std::string first = {}, std::string second = {}, bool isLoginFlow = false,
           std::optional<std::int64_t> expiresIn = std::nullopt) {
    CallbackEvent event{std::move(kind), std::move(first), std::move(second),
                        isLoginFlow,     expiresIn,        platform::mainQueue().isCurrent()};
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  mutable std::mutex mutex_;
  std::vector<CallbackEvent> events_;
};

}  // namespace velqo::testing
