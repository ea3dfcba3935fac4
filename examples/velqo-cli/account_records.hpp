#pragma once

// The items the account side keeps for a user, by name, as the library stores them: the CLI
// refuses user ids that would name another user's items, and judges a clear by the lines its
// failed removals write.

#include <string>
#include <string_view>

namespace velqo::cli {

/// True for "lastuser" (the last-user record) and for ids ending in a per-user item suffix
/// ("ada_jwtAccessToken" names ada's access token).
bool userIdNamesAnotherRecord(const std::string& userId);

/// Whether a diagnostic line of the library tells of a removal that did not happen: an item or
/// a hardware key that could not be deleted, or user defaults (the push registration record)
/// whose change did not reach the disk.
bool tellsOfAFailedRemoval(std::string_view line);

}  // namespace velqo::cli
