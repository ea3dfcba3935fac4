#pragma once

// The items the account side keeps for a user, by name, as the library stores them: the CLI
// looks after a clear whether the items it cleared are really gone.

#include <string>

namespace velqo::cli {

/// Whether any of the user's token items is still stored (or cannot be read).
bool sessionItemsRemain(const std::string& userId);
/// Whether any item stored for the user (tokens, device credentials, a pending registration,
/// the hardware key) is still stored (or cannot be read).
bool userItemsRemain(const std::string& userId);
/// Whether the last-user record is still stored (or cannot be read).
bool lastUserRecordRemains();

}  // namespace velqo::cli
