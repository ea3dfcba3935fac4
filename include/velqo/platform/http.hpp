#pragma once

#include <cstddef>
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
struct VELQO_API HttpRequest {
  /// Absolute "http" or "https" URL. Other schemes fail with `urlError::unsupportedURL`,
  /// malformed text with `urlError::badURL`. Plain "http" is for loopback addresses only
  /// unless the session allows more (see `HttpSession::Options::allowsCleartextHTTP`).
  std::string url;
  /// Sent exactly as given (an HTTP token such as "GET", "POST", "PUT").
  std::string method = "GET";
  /// Sent in this order, names and values as given (an empty value is sent empty). The
  /// session adds only "Host" and, for bodies, "Content-Length": it never adds "Accept",
  /// "Expect", "Content-Type" or "User-Agent" of its own. "Content-Length" and
  /// "Transfer-Encoding" belong to the session: values set here are ignored. A name that is
  /// not an HTTP token, or a value holding a line break or NUL, fails the task with
  /// `urlError::unknown` before anything is sent (as does a method that is not a token).
  HeaderList headers;
  /// Sent for "POST", "PUT" and "PATCH" (also when empty) and for any method when non-empty.
  std::string body;
  /// Bound on the whole exchange, in seconds (fractions count to the millisecond). A value
  /// that is not positive and finite means the default of 60 seconds.
  double timeoutSeconds = 60.0;

  /// Sets one header: the first header of that name (compared case-insensitively) takes the
  /// new name and value in its place, later ones of that name are removed; a new header goes
  /// last.
  void setHeader(std::string name, std::string value);
};

/// What came back: status and headers (the body is handed over beside it).
struct VELQO_API HttpResponse {
  long statusCode = 0;
  /// The URL that answered (redirects are not followed, so the request's URL, normalised).
  std::string url;
  /// Every header of the final response, in the order received, names as received.
  HeaderList headers;
  /// The first header of that name, compared case-insensitively.
  std::optional<std::string> header(std::string_view name) const;
};

/// A finished data task: the body (possibly empty) and the response, or a transport error
/// of the URL error domain (timeouts, refused connections, bad URLs, TLS failures, answers
/// over the size limit, refused cleartext). Exactly
/// one of `response` and `error` is set; `body` is set (possibly empty) exactly when
/// `response` is. Any HTTP status, 4xx and 5xx included, is a response, not an error.
using DataTaskCompletion =
    std::function<void(std::optional<std::string> body, std::optional<HttpResponse> response,
                       std::optional<PlatformError> error)>;

/// The URL session: runs data tasks and calls their completions on the session's own
/// worker thread (its "completion queue"), one at a time, reusing connections. TLS
/// certificate and host verification are always on. Redirects are not followed: a 3xx
/// answer is handed over as the response.
///
/// Lifetime: the worker thread starts with the first data task. Destroying the session
/// stops it; completions not yet called are then dropped (destroyed, never called). The
/// last reference may be released anywhere, also inside one of the session's completions.
class VELQO_API HttpSession {
 public:
  struct Options {
    /// Extra CA bundle file (PEM) to trust besides the system's (for tests with a private
    /// CA). `create` throws std::invalid_argument when it holds no readable certificate.
    std::optional<std::string> caFile;
    /// Upper bound of simultaneous transfers (at least 1); further tasks wait their turn.
    int maxConcurrentTransfers = 16;
    /// Largest answer accepted, in bytes (body, and header lines apart). A larger one fails
    /// the task with `urlError::dataLengthExceedsMaximum` as soon as it is known (from its
    /// Content-Length, else when the limit is passed), so memory stays bounded whatever the
    /// server sends.
    std::size_t maxResponseBytes = 4 * 1024 * 1024;
    /// Plain "http" goes only to loopback hosts (127.0.0.0/8, [::1], "localhost"); any other
    /// "http" URL fails with `urlError::cleartextNotPermitted` before a connection is made,
    /// unless this is true.
    bool allowsCleartextHTTP = false;
  };

  virtual ~HttpSession() = default;
  /// Starts the request and returns at once (any thread, also from a completion). The
  /// completion runs exactly once, on the session's completion thread, unless the session
  /// is destroyed first. Exceptions thrown by a completion are caught and dropped.
  virtual void dataTask(HttpRequest request, DataTaskCompletion completion) = 0;
  /// True when called on this session's completion thread.
  virtual bool isCompletionThread() const noexcept = 0;

  /// The process-wide session (created on first use, stopped at process exit).
  static std::shared_ptr<HttpSession> shared();
  /// A new libcurl session with its own worker thread and connection pool.
  static std::shared_ptr<HttpSession> create(Options options);
  static std::shared_ptr<HttpSession> create() { return create(Options{}); }
};

}  // namespace velqo::platform
