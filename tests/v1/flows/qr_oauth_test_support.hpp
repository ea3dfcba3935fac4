#pragma once

// QR approval and OAuth test helpers: an earlier-answers probe (and the completion catcher).

#include <chrono>
#include <memory>

#include "v1/flows/line_capture.hpp"
#include "v1/protocol/client_test_support.hpp"
#include "velqo/platform/http.hpp"
#include "velqo_localservice/local_service.hpp"

namespace velqo::testing {

/// Sends a request the service answers after `delay` and waits for it: every answer that
/// arrived before has then been completed on `session`'s (serial) completion thread.
inline bool probeAfterEarlierAnswers(localservice::LocalService& service, platform::HttpSession& session,
                                     std::chrono::milliseconds delay = std::chrono::milliseconds(800)) {
  service.route("GET", "/probe", [delay](const localservice::RecordedRequest&) {
    localservice::Reply reply = localservice::Reply::json(200, "{}");
    reply.delay = delay;
    return reply;
  });
  Catcher<bool> probe;
  auto done = probe.callback();
  session.dataTask(platform::HttpRequest{service.baseUrl() + "/probe", "GET", {}, {}, 5.0},
                   [done](auto, auto, auto) { done(true); });
  return probe.wait().has_value();
}

}  // namespace velqo::testing
