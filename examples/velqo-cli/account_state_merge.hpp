#pragma once

// Several velqo-cli processes may run the embedded account service on one data directory at
// once. Each reads the state file when it starts; when it writes, it puts its own changes on top
// of what the others wrote meanwhile, so none drops another's devices, tokens or requests.

#include <nlohmann/json.hpp>

namespace velqo::cli {

/// The state to write: `onDisk` (the file as it is now) with this process's changes, from
/// `loaded` (what it read at start or last wrote) to `current` (what it holds now), applied.
/// Entries are merged by key (a token, a request id, a user, a device): an entry this process
/// added, changed or removed is taken from `current`, every other one stays as on disk. A
/// user's device list is merged by device id, lists that only grow (push registrations, web
/// approvals) get this process's new elements appended, and the count of completed V5
/// registrations adds this process's increase. Sections not known here are taken whole when
/// this process changed them.
nlohmann::json mergeAccountState(const nlohmann::json& onDisk, const nlohmann::json& loaded,
                                 const nlohmann::json& current);

}  // namespace velqo::cli
