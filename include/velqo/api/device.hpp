#pragma once

#include <optional>
#include <string>

namespace velqo {

/// One device or session of the signed-in user, as listed by the service. The device list is
/// stored for the host application as a JSON array of these records (keys "id", "platform",
/// "browser_name", "model", "os_version", "login_time"; absent fields are left out).
struct Device {
  /// A local identity for lists: a fresh random UUID each time a record is decoded (two
  /// decodings of the same JSON differ here). Never sent or stored.
  std::string id;
  std::optional<std::string> devId;        ///< "id": the service's identifier
  std::optional<std::string> platform;     ///< "platform"
  std::optional<std::string> browserName;  ///< "browser_name"
  std::optional<std::string> model;        ///< "model"
  std::optional<std::string> osVersion;    ///< "os_version"
  std::optional<std::string> loginTime;    ///< "login_time", as sent

  friend bool operator==(const Device&, const Device&) = default;
};

}  // namespace velqo
