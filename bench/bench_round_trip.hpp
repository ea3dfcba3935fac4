#pragma once

// The bare HTTP round trip every benchmark compares against: post one request through a
// session and block until its completion has run.

#include <condition_variable>
#include <mutex>

#include "velqo/platform/http.hpp"

namespace velqo::bench {

/// Runs one data task and waits for it. Returns false when the exchange failed (transport
/// error, no response) or, with `requireBody`, when the body came back empty.
inline bool bareRoundTrip(platform::HttpSession& session, const platform::HttpRequest& request,
                          bool requireBody = true) {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool ok = false;
  session.dataTask(request, [&](auto body, auto response, auto error) {
    std::lock_guard lock(mutex);
    ok = !error && response && body && (!requireBody || !body->empty());
    done = true;
    cv.notify_one();
  });
  std::unique_lock lock(mutex);
  cv.wait(lock, [&] { return done; });
  return ok;
}

}  // namespace velqo::bench
