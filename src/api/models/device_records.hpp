#pragma once

// REST records of the device list (not installed).

#include <optional>
#include <string>
#include <vector>

#include "api/models/public_records_json.hpp"
#include "core/transport/json_codec.hpp"
#include "velqo/api/device.hpp"

namespace velqo {

/// Answer of GET "/device/details".
struct GetDeviceDetailsResponse {
  std::optional<bool> apiStatus;            ///< "api_status"
  std::optional<std::vector<Device>> data;  ///< "data"
  std::optional<std::string> message;
  friend bool operator==(const GetDeviceDetailsResponse&, const GetDeviceDetailsResponse&) = default;
};

void to_json(json::Value& out, const GetDeviceDetailsResponse& record);
void from_json(const json::Value& in, GetDeviceDetailsResponse& record);

}  // namespace velqo
