#pragma once

// Flow controller test helpers: update recorder, movable clock, scripted local V1 service.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/encoding.hpp"
#include "support/scoped_platform_settings.hpp"
#include "support/wait_bound.hpp"
#include "v1/flows/line_capture.hpp"
#include "v1/protocol/client_test_support.hpp"
#include "velqo/platform/clock.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/v1/flows/flow_controller.hpp"
#include "velqo_localservice/v1_peer.hpp"

namespace velqo::testing {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Peer = localservice::V1Peer;

/// Keeps every update; `waitFor` runs the main queue, which delivers them, until enough arrived.
class UpdateRecorder : public Catcher<VelqoV1FlowUpdate> {
 public:
  VelqoV1FlowController::UpdateHandler handler() { return callback(); }
  std::vector<VelqoV1FlowUpdate> updates() const { return results(); }
  std::size_t count() const { return static_cast<std::size_t>(calls()); }
  std::size_t countOf(VelqoV1FlowUpdate::Case kind) const {
    return countIf([kind](const VelqoV1FlowUpdate& u) { return u.kind() == kind; });
  }
  bool waitFor(std::size_t n, std::chrono::milliseconds timeout = kWaitBound) const {
    return platform::mainQueue().runUntil([&] { return count() >= n; }, timeout);
  }
  VelqoV1FlowUpdate last() const {
    const auto all = updates();
    return all.empty() ? VelqoV1FlowUpdate::idle() : all.back();
  }
};

/// Runs the main queue for a while (lets stray updates and requests show up).
inline void pump(std::chrono::milliseconds duration) {
  platform::mainQueue().runUntil([] { return false; }, duration);
}

/// A time for the clock the library reads (FlowTest::setClock).
inline platform::WallClock::time_point at(const char* rfc3339) {
  return *platform::parseInternetDateTime(rfc3339, false);
}

/// The action object of the request body.
inline Json actionOf(const localservice::V1Exchange& exchange) {
  return Json::parse(exchange.request.body).at("action");
}

/// Every test gets a local V1 service, a fresh HTTP session and captured diagnostic lines.
class FlowTest : public V1ClientFixture {
 protected:
  /// The clock the library reads, fixed at `time` until the test ends.
  void setClock(platform::WallClock::time_point time) {
    settings.setClock([time] { return time; });
  }

  std::shared_ptr<VelqoV1FlowController> makeController(
      bool autoPoll = false,
      VelqoV1PrimaryMethodSelectionPolicy policy = VelqoV1PrimaryMethodSelectionPolicy::manual,
      std::shared_ptr<platform::DispatchQueue> queue = platform::mainQueueHandle()) {
    auto s = testSettings(peer.baseURL());
    s.retryMaxAttempts = 0;
    s.deviceCredentialClearCodes = {};
    auto controller = VelqoV1FlowController::create(makeClient(s), autoPoll, policy, std::move(queue));
    controller->setOnUpdate(recorder.handler());
    return controller;
  }

  ScopedPlatformSettings settings;
  LineCapture capture;
  UpdateRecorder recorder;
};

}  // namespace velqo::testing
