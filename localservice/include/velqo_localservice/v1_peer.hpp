#pragma once

// The V1 endpoint of the loopback reference service: answers POST <base path>/auth from a
// per-test script and keeps every request it received with its arrival time, so tests can
// check headers, envelopes (byte for byte) and the timing of re-sends.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velqo_localservice/local_service.hpp"

namespace velqo::localservice {

/// One request that reached the V1 endpoint.
struct V1Exchange {
  RecordedRequest request;
  std::chrono::steady_clock::time_point receivedAt;
  /// "type" of the envelope's action ("start", "poll", ...); empty when the body is no envelope.
  std::string actionType;
};

/// Registers the V1 endpoint on a LocalService for as long as it lives (it must not outlive
/// the service). Thread-safe: answers run on the service's worker threads.
class V1Peer {
 public:
  using Answer = std::function<Reply(const V1Exchange&)>;

  /// Serves POST `basePath` + "/auth".
  explicit V1Peer(LocalService& service, std::string basePath = "/v1");
  ~V1Peer();
  V1Peer(const V1Peer&) = delete;
  V1Peer& operator=(const V1Peer&) = delete;

  /// The base URL a V1 client takes: "http://127.0.0.1:<port>" + basePath.
  std::string baseURL() const;

  /// Appends to the script: each request takes the first answer not yet used.
  void enqueue(Reply reply);
  void enqueue(Answer answer);
  /// Answers the requests that find the script used up. Default: 500 {"detail":"no scripted answer"}.
  void setFallback(Answer answer);

  /// The requests received so far, oldest first.
  std::vector<V1Exchange> exchanges() const;
  std::size_t requestCount() const;
  /// Waits until at least `count` requests have arrived; false on time-out.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

  // ---- answer bodies ----

  /// {"protocolVersion":..,"session":..,"prompt":<promptJson>,"meta":{"traceId":..,"expiresAt":..}}.
  static std::string response(std::string_view session, std::string_view promptJson,
                              std::string_view traceId = "trace-1", std::int64_t protocolVersion = 2,
                              std::string_view expiresAt = "2030-01-01T00:00:00Z");
  /// The same as a reply with `status`.
  static Reply answer(std::string_view session, std::string_view promptJson, int status = 200,
                      std::string_view traceId = "trace-1");
  /// {"type":"error","code":..,"action":..,"message":..,"retryable":..[,"details":<detailsJson>]}.
  static std::string errorPrompt(std::string_view code, std::string_view action, std::string_view message,
                                 bool retryable = false, std::string_view detailsJson = {});
  /// {"type":"completed","authCode":..,"expiresAt":..[,"codeVerifier":..]}.
  static std::string completedPrompt(std::string_view authCode,
                                     std::string_view expiresAt = "2030-01-01T00:05:00Z",
                                     const std::optional<std::string>& codeVerifier = std::nullopt);

 private:
  struct State;
  LocalService& service_;
  std::string basePath_;
  std::shared_ptr<State> state_;
};

}  // namespace velqo::localservice
