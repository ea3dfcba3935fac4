#pragma once

// JSON of the public REST records (not installed).

#include "core/transport/json_codec.hpp"
#include "velqo/api/device.hpp"
#include "velqo/api/push_login_request_details.hpp"
#include "velqo/api/session_details.hpp"

namespace velqo {

void to_json(json::Value& out, const PushLoginRequestDetails& record);
void from_json(const json::Value& in, PushLoginRequestDetails& record);

/// `id` is not coded: decoding gives it a fresh UUID, encoding leaves it out.
void to_json(json::Value& out, const Device& record);
void from_json(const json::Value& in, Device& record);

/// "device_info" must be a JSON object; it is kept as compact text and written back as the
/// object it holds.
void to_json(json::Value& out, const SessionDetails& record);
void from_json(const json::Value& in, SessionDetails& record);

}  // namespace velqo
