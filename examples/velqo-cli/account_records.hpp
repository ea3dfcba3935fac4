#pragma once

// What the account side's removals say when they fail: the CLI judges a clear by the lines its
// own failed removals write.

#include <string_view>

namespace velqo::cli {

/// Whether a diagnostic line of the library tells of a removal that did not happen: an item or
/// a hardware key that could not be deleted, or user defaults (the push registration record)
/// whose change did not reach the disk.
bool tellsOfAFailedRemoval(std::string_view line);

}  // namespace velqo::cli
