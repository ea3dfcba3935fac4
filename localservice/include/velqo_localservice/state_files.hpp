#pragma once

// Writing a state file that several processes serving from one data directory share: a reader
// sees the old file or the new one whole, never half of one.

#include <filesystem>
#include <string>

namespace velqo::localservice {

/// Replaces `file` with `text` (mode 0600) in one rename of a complete temporary file with a
/// name of its own beside it, so parallel writers never write into each other's temporary
/// file. False (and the old file untouched) when it could not be written.
bool replaceStateFile(const std::filesystem::path& file, const std::string& text);

/// Removes the temporary files of `file` that writers killed before their rename left beside
/// it. Only while holding the lock that every writer of `file` takes.
void removeStaleStateTemporaries(const std::filesystem::path& file);

}  // namespace velqo::localservice
