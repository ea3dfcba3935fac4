#pragma once

#include <optional>
#include <string>

namespace velqo {

/// The browser session that asked for a web login: stored for the host application as
/// pretty-printed JSON with the keys "device_id", "device_info", "ip_details", "isp", "city",
/// "state", "country" (absent fields are left out).
struct SessionDetails {
  std::optional<std::string> deviceId;  ///< "device_id"
  /// "device_info": the service's description of the browser's device, a JSON object whose
  /// keys the service chooses, kept as its compact JSON text ({"os":"Linux",...}). When set
  /// by the host it must hold a JSON object, or encoding the record fails.
  std::optional<std::string> deviceInfo;
  std::optional<std::string> ipDetails;  ///< "ip_details"
  std::optional<std::string> isp;        ///< "isp"
  std::optional<std::string> city;       ///< "city"
  std::optional<std::string> state;      ///< "state"
  std::optional<std::string> country;    ///< "country"

  friend bool operator==(const SessionDetails&, const SessionDetails&) = default;
};

}  // namespace velqo
