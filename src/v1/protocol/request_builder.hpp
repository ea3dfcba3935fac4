#pragma once

// The HTTP request of every V1 call (the protocol client's steps and QR approval): the
// endpoint, the JSON body and the nine headers in their wire order (internal).

#include <optional>
#include <string>

#include "velqo/platform/http.hpp"
#include "velqo/v1/protocol/client_config.hpp"

namespace velqo::v1::detail {

/// A POST of `body` to `url` with the settings' time-out and the headers Content-Type and
/// Accept ("application/json"), X-Config-Id, x-unique (only with `uniqueHeader`),
/// X-Velqo-SDK, x-Velqo-iosSdk-Version, X-Velqo-Platform, X-Velqo-Protocol-Version and,
/// when set, X-Relying-Party.
[[nodiscard]] platform::HttpRequest makeV1Request(const VelqoV1ClientConfig& config, std::string url,
                                                  std::string body, std::optional<std::string> uniqueHeader);

}  // namespace velqo::v1::detail
