#pragma once

// The loopback reference service: an HTTP server on 127.0.0.1 (ephemeral port) that plays the
// remote authentication service for tests, benchmarks and the command-line host. Tests script
// its answers per (method, path), read back every request it received, and obtain ID tokens
// signed with its own ES256 / ES384 / ES512 keys.
//
// Growing it: peers of the service's flows register their routes on an instance (free
// functions in further localservice/*.cpp files taking a LocalService&), so the route table
// here stays general.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velqo::localservice {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

/// One request as the service received it.
struct RecordedRequest {
  std::string method;  ///< "GET", "POST", ...
  std::string path;    ///< percent-decoded path, "/v5/auth-init"
  std::string query;   ///< raw query text after "?", empty when none
  /// Every header with its name as sent. The HTTP library keeps headers sorted by name
  /// (case-insensitively), so this is that order, not the order on the wire.
  HeaderList headers;
  std::string body;

  /// The first header of that name, compared case-insensitively.
  std::optional<std::string> header(std::string_view name) const;
  /// How many headers of that name arrived.
  std::size_t headerCount(std::string_view name) const;
};

/// What a scripted handler answers.
struct Reply {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  HeaderList headers;  ///< extra headers
  /// Held back this long before answering (cut short when the service stops).
  std::chrono::milliseconds delay{0};
  /// Close the connection without sending any response: the socket is reset, so the client
  /// sees a transport error ("connection reset" / "empty reply"), never a status. A client
  /// that retries a request on a reused connection may send it a second time.
  bool dropConnection = false;

  static Reply json(int status, std::string body);
  /// A status with an empty body.
  static Reply empty(int status);
  static Reply drop();
};

using Handler = std::function<Reply(const RecordedRequest&)>;

/// What a raw responder writes back: exact bytes, then the connection closes when asked.
struct RawReply {
  std::string bytes;
  bool close = false;
};

/// Answers the exact bytes of one request (head and Content-Length body).
using RawResponder = std::function<RawReply(const std::string& request)>;

/// Curves of the service's ID-token keys: ES256, ES384, ES512.
enum class Curve { p256, p384, p521 };

class LocalService {
 public:
  /// Starts listening on 127.0.0.1 with an ephemeral port and returns once the server runs.
  /// Throws std::runtime_error when it cannot bind or start.
  LocalService();
  /// The same on a chosen port (0: ephemeral). Throws std::runtime_error naming the port
  /// when it is taken or cannot be bound.
  explicit LocalService(std::uint16_t port);
  /// Stops the server, cuts open connections and waits for its threads.
  ~LocalService();
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;

  /// "http://127.0.0.1:<port>" (no trailing slash).
  std::string baseUrl() const;
  int port() const;

  /// Registers (or replaces) the handler of one method and exact path. Handlers run on the
  /// server's worker threads, possibly in parallel; a handler that throws answers 500.
  /// Requests without a handler answer 404 {"detail":"not found"}.
  void route(std::string method, std::string path, Handler handler);
  /// The same with a fixed reply.
  void route(std::string method, std::string path, Reply reply);
  void removeRoute(const std::string& method, const std::string& path);

  /// Wire-level answers for checks no HTTP library allows (header order, broken answers):
  /// connections accepted while a raw responder is set bypass the routes; each request on
  /// them is read whole, kept byte for byte and answered with the responder's bytes. Empty
  /// to go back to the routes.
  void setRawResponder(RawResponder responder);
  /// The exact bytes of every request answered raw, in arrival order.
  std::vector<std::string> rawRequests() const;
  /// Connections accepted so far.
  std::size_t connectionCount() const;
  /// A complete HTTP/1.1 answer: "HTTP/1.1 " + status ("200 OK"), the headers, a
  /// Content-Length header and the body.
  static std::string rawResponse(std::string_view status, const HeaderList& headers, std::string_view body);

  /// The requests received so far, oldest first (unmatched ones included).
  std::vector<RecordedRequest> requests() const;
  std::size_t requestCount() const;
  /// Waits until at least `count` requests have arrived; false on time-out.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  void clearRequests();
  /// The CPU time the handlers have used so far (thread CPU time around each handler call),
  /// so a benchmark can take the service's own work out of its process's CPU time.
  std::chrono::nanoseconds handlerCpuTime() const;

  /// The public key of a curve as PEM ("-----BEGIN PUBLIC KEY-----", SubjectPublicKeyInfo).
  std::string publicKeyPem(Curve curve) const;
  /// A signed compact JWT: header {"alg":"ES256|ES384|ES512","typ":"JWT"}, the claims text as
  /// given (not checked, so tests may send odd claims), raw r||s signature, base64url segments.
  std::string issueIdToken(Curve curve, std::string_view claimsJson) const;
  /// The same with a header text of the caller's choice (for tokens with odd headers).
  std::string signJwt(Curve curve, std::string_view headerJson, std::string_view claimsJson) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velqo::localservice
