#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"

namespace velqo::platform {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

/// An HTTP request: what a data task sends.
struct HttpRequest {
  std::string url;
  std::string method = "GET";
  /// Sent in this order. The session adds only "Host", "Content-Length" and, for bodies,
  /// nothing else: it never adds "Accept" or "Expect" of its own.
  HeaderList headers;
  std::string body;
  double timeoutSeconds = 60.0;

  /// Sets (replacing, case-insensitively) one header.
  void setHeader(std::string name, std::string value);
};

/// What came back: status and headers (the body is handed over beside it).
struct HttpResponse {
  long statusCode = 0;
  std::string url;
  HeaderList headers;
  /// The first header of that name, compared case-insensitively.
  std::optional<std::string> header(std::string_view name) const;
};

/// A finished data task: the body (possibly empty) and the response, or a transport error
/// of the URL error domain (timeouts, refused connections, bad URLs, TLS failures). Exactly
/// one of `response` and `error` is set.
using DataTaskCompletion = std::function<void(std::optional<std::string> body,
                                              std::optional<HttpResponse> response,
                                              std::optional<PlatformError> error)>;

/// The URL session: runs data tasks and calls their completions on the session's own
/// worker thread (its "completion queue"), one at a time, reusing connections. TLS
/// certificate and host verification are always on.
class VELQO_API HttpSession {
 public:
  struct Options {
    /// Extra CA bundle file to trust (for tests with a private CA).
    std::optional<std::string> caFile;
    /// Upper bound of simultaneous transfers.
    int maxConcurrentTransfers = 16;
  };

  virtual ~HttpSession() = default;
  /// Starts the request and returns at once. The completion runs exactly once, on the
  /// session's completion thread, unless the session is destroyed first.
  virtual void dataTask(HttpRequest request, DataTaskCompletion completion) = 0;
  /// True when called on this session's completion thread.
  virtual bool isCompletionThread() const noexcept = 0;

  /// The process-wide session (created on first use).
  static std::shared_ptr<HttpSession> shared();
  /// A new libcurl session with its own worker thread and connection pool.
  static std::shared_ptr<HttpSession> create(Options options);
  static std::shared_ptr<HttpSession> create() { return create(Options{}); }
};

}  // namespace velqo::platform
