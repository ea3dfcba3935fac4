#pragma once

// The attempt machinery of the account engines (internal): one attempt at a time, numbered,
// with a weakly held callback; answers of an older attempt are dropped.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "core/transport/api_service.hpp"

namespace velqo::account::detail {

/// Numbers an engine's attempts and keeps the current attempt's callback, held weakly.
///
/// Its lock is the engine's lock: it guards the number and the callback here and every field
/// the engine keeps for its attempt, so that a step can check "still my attempt" and read or
/// write its fields in one piece. Members that take a `Lock` expect it held; the others take
/// it themselves. Never call out (host, transport, key store) while holding it.
///
/// Every request and every queued callback carries the number of the attempt it was made
/// for; a step that finds another number current drops what it carries.
template <class Callback>
class Attempts {
 public:
  using Number = std::uint64_t;
  using Lock = std::unique_lock<std::mutex>;

  [[nodiscard]] Lock lock() const { return Lock(mutex_); }

  /// Starts a new attempt for `callback`: from now on the older attempts' answers are dropped.
  Number begin(const Lock&, const std::shared_ptr<Callback>& callback) {
    callback_ = callback;
    return ++current_;
  }
  /// Ends `attempt` when it is still the current one: hands back its callback (nothing when
  /// it is gone), forgets it and moves the number on, so whatever still arrives for the
  /// finished attempt is dropped. A stale attempt changes nothing and gets nothing.
  [[nodiscard]] std::shared_ptr<Callback> end(const Lock&, Number attempt) {
    if (attempt != current_) return nullptr;
    auto callback = callback_.lock();
    callback_.reset();
    ++current_;
    return callback;
  }

  [[nodiscard]] Number current(const Lock&) const noexcept { return current_; }
  [[nodiscard]] bool isCurrent(const Lock&, Number attempt) const noexcept { return attempt == current_; }
  /// The attempt is still the current one and its host still listens.
  [[nodiscard]] bool isLive(const Lock&, Number attempt) const noexcept {
    return attempt == current_ && !callback_.expired();
  }
  /// The host of the current attempt still holds its callback.
  [[nodiscard]] bool isListening(const Lock&) const noexcept { return !callback_.expired(); }
  /// The callback of the current attempt, whatever its number (nothing once released).
  [[nodiscard]] std::shared_ptr<Callback> currentCallback(const Lock&) const { return callback_.lock(); }
  /// The callback of `attempt`: nothing when another attempt took over or the host let go.
  [[nodiscard]] std::shared_ptr<Callback> callbackFor(const Lock&, Number attempt) const {
    return attempt == current_ ? callback_.lock() : nullptr;
  }

  [[nodiscard]] bool isLive(Number attempt) const {
    const Lock held = lock();
    return isLive(held, attempt);
  }
  [[nodiscard]] std::shared_ptr<Callback> callbackFor(Number attempt) const {
    const Lock held = lock();
    return callbackFor(held, attempt);
  }

 private:
  mutable std::mutex mutex_;
  Number current_ = 0;
  std::weak_ptr<Callback> callback_;
};

/// A completion that hands what it is given to `step(engine, attempt, ...)` while the engine
/// lives; once the engine is released it does nothing. The engine is held weakly; `step` is
/// a member function pointer or any callable taking the engine first.
template <class Engine, class Step>
auto forAttempt(Engine& engine, std::uint64_t attempt, Step step) {
  return [weak = std::weak_ptr<Engine>(engine.weak_from_this()), attempt,
          step = std::move(step)](auto&&... results) {
    if (auto self = weak.lock())
      std::invoke(step, *self, attempt, std::forward<decltype(results)>(results)...);
  };
}

/// POSTs `body` as JSON to `url` for `attempt` and hands the answer, decoded as `Response`,
/// to `step` as `forAttempt` does. The step runs where `ApiService` completes (the main queue,
/// or the calling thread for a request that cannot be built); it checks its attempt itself.
template <class Response, class Engine, class Request, class Step>
void send(Engine& engine, const ApiService& api, std::uint64_t attempt, const std::string& url,
          const Request& body, Step step) {
  api.post<Response>(url, body, std::nullopt, forAttempt(engine, attempt, std::move(step)));
}

}  // namespace velqo::account::detail
