#pragma once

#include <optional>
#include <string>

namespace velqo {

/// A push login request as the service describes it: which request, from where, from which
/// browser and when. Handed to the push delegate when a login request is fetched. A plain
/// value; every text is as the service sent it.
struct PushLoginRequestDetails {
  std::string requestId;                ///< "request_id"
  std::string ipAddress;                ///< "ip_address"
  std::optional<std::string> location;  ///< "location", when the service knows it
  std::string deviceInfo;               ///< "browser": the browser that asked
  std::string timestamp;                ///< "timestamp", as sent

  friend bool operator==(const PushLoginRequestDetails&, const PushLoginRequestDetails&) = default;
};

}  // namespace velqo
