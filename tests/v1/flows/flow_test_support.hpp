#pragma once

// Helpers of the flow controller tests: an update recorder fed on the main queue (which the
// test drives), a movable clock, captured diagnostic lines, and a local V1 service.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/encoding.hpp"
#include "support/loopback_server.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/clock.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/v1/flows/flow_controller.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/v1_peer.hpp"

namespace velqo::testing {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Peer = localservice::V1Peer;

/// Keeps every update; `waitFor` drives the main queue until enough have arrived.
class UpdateRecorder {
 public:
  VelqoV1FlowController::UpdateHandler handler() {
    return [this](const VelqoV1FlowUpdate& update) {
      std::lock_guard lock(mutex_);
      updates_.push_back(update);
    };
  }
  std::vector<VelqoV1FlowUpdate> updates() const {
    std::lock_guard lock(mutex_);
    return updates_;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return updates_.size();
  }
  bool waitFor(std::size_t n, std::chrono::milliseconds timeout = 10s) const {
    return platform::mainQueue().runUntil([&] { return count() >= n; }, timeout);
  }
  void clear() {
    std::lock_guard lock(mutex_);
    updates_.clear();
  }
  VelqoV1FlowUpdate last() const {
    std::lock_guard lock(mutex_);
    return updates_.empty() ? VelqoV1FlowUpdate::idle() : updates_.back();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<VelqoV1FlowUpdate> updates_;
};

/// Runs the main queue for a while (lets stray updates and requests show up).
inline void pump(std::chrono::milliseconds duration) {
  platform::mainQueue().runUntil([] { return false; }, duration);
}

/// The clock the library reads, set by the test.
inline platform::WallClock::time_point at(const char* rfc3339) {
  return *platform::parseInternetDateTime(rfc3339, false);
}
inline void setClock(platform::WallClock::time_point time) {
  platform::setClockOverride([time] { return time; });
}

/// The action object of the request body.
inline Json actionOf(const localservice::V1Exchange& exchange) {
  return Json::parse(exchange.request.body).at("action");
}

/// Every test gets a local V1 service, a fresh HTTP session and a capturing debug sink.
class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setDebugSink([this](std::string_view line) {
      std::lock_guard lock(linesMutex_);
      lines_.emplace_back(line);
    });
  }
  void TearDown() override {
    setDebugSink({});
    platform::setClockOverride({});
  }

  std::shared_ptr<VelqoProtocolV1Client> makeClient() {
    VelqoV1ClientConfig::Settings s;
    s.baseURL = peer.baseURL();
    s.sdkName = "@velqo/test";
    s.sdkVersion = "1.0";
    s.platform = "ios";
    s.timeoutSeconds = 5;
    s.retryMaxAttempts = 0;
    return VelqoProtocolV1Client::create(VelqoV1ClientConfig::withConfigId("cfg-flow", std::move(s)),
                                         session);
  }
  std::shared_ptr<VelqoV1FlowController> makeController(
      bool autoPoll = false,
      VelqoV1PrimaryMethodSelectionPolicy policy = VelqoV1PrimaryMethodSelectionPolicy::manual,
      std::shared_ptr<platform::DispatchQueue> queue = platform::mainQueueHandle()) {
    auto controller = VelqoV1FlowController::create(makeClient(), autoPoll, policy, std::move(queue));
    controller->setOnUpdate(recorder.handler());
    return controller;
  }
  bool logged(const std::string& line) const {
    std::lock_guard lock(linesMutex_);
    for (const auto& l : lines_) {
      if (l == line) return true;
    }
    return false;
  }
  std::vector<std::string> linesStartingWith(const std::string& prefix) const {
    std::lock_guard lock(linesMutex_);
    std::vector<std::string> out;
    for (const auto& l : lines_) {
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
  }

  UpdateRecorder recorder;
  localservice::LocalService service;
  Peer peer{service};
  std::shared_ptr<platform::HttpSession> session = platform::HttpSession::create();

 private:
  mutable std::mutex linesMutex_;
  std::vector<std::string> lines_;
};

}  // namespace velqo::testing
