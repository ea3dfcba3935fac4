#pragma once

// The facade's one hand-off of a transport answer to the main queue (internal).

#include <memory>
#include <utility>

#include "core/transport/api_service.hpp"
#include "velqo/platform/queue.hpp"

namespace velqo::account::detail {

/// A transport completion that runs `handle(const ApiService::Outcome<Response>&)` on the main
/// queue, one turn after the transport delivered the outcome. The transport completes at once
/// on the calling thread when it cannot even build the request (a base URL that does not
/// parse, say); through this hand-off that failure too reaches the host on the main queue,
/// after the call that started the request has returned.
template <class Response, class Handle>
ApiService::Completion<Response> onNextMainTurn(Handle handle) {
  return [handle = std::move(handle)](ApiService::Outcome<Response> outcome) {
    auto shared = std::make_shared<ApiService::Outcome<Response>>(std::move(outcome));
    platform::mainQueue().async([handle, shared] { handle(*shared); });
  };
}

}  // namespace velqo::account::detail
