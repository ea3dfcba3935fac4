#pragma once

// JSON lines on standard output: one object per line, flushed at once so a script reading
// the pipe sees every update as it happens. Lines from several threads never interleave.

#include <nlohmann/json.hpp>

#include <velqo/v1/flows/flow_update.hpp>

namespace velqo::cli {

/// JSON with keys in insertion order, so every line reads "update" first.
using Json = nlohmann::ordered_json;

/// Writes `value` compactly as one line on standard output and flushes. Text that is not
/// valid UTF-8 is written with replacement characters. Thread-safe.
void printJsonLine(const Json& value);

/// {"update": "loading"|"prompt"|"completed"|"error"|"idle", ...the update's fields}.
/// Prompt updates carry {"context": {...}, "prompt": {"type": <wire tag>, <wire keys>...}};
/// absent optional fields are left out.
Json updateToJson(const VelqoV1FlowUpdate& update);

/// The prompt alone: {"type": <wire tag>, ...its fields under the wire keys}.
Json promptToJson(const VelqoV1UserPrompt& prompt);

/// The wire tag of a prompt the host sees: "select_method", "enter_code", "setup_totp",
/// "setup_sms", "redirect", "await_approval", "enter_totp".
const char* promptWireTag(const VelqoV1UserPrompt& prompt);

}  // namespace velqo::cli
