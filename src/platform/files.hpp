#pragma once

// Small file helpers (not installed).

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "velqo/platform/bytes.hpp"

namespace velqo::platform::files {

/// Writes the whole file atomically: a temporary file in the same directory with `mode`,
/// written, fsync'ed and renamed over the target (then the directory is fsync'ed).
/// Creates missing parent directories with mode 0700. Returns false on any failure and
/// leaves the old file, if any, untouched (no temporary file is left behind).
bool writeAtomically(const std::filesystem::path& path, const Bytes& data, unsigned mode = 0600);

/// Outcome of `createExclusively`.
enum class CreateResult { created, alreadyExists, failed };
/// Like `writeAtomically`, but never replaces an existing file: the complete file appears
/// under `path` only when nothing was there (also against other processes), else
/// `alreadyExists` and the existing file stays as it is.
CreateResult createExclusively(const std::filesystem::path& path, const Bytes& data, unsigned mode = 0600);

/// Removes the temporary files that `writeAtomically` and `createExclusively` leave behind
/// when the process dies before the rename: names of the form "." + target + ".tmp-" + six
/// characters directly under `directory`, for the targets that `isOwnTarget` accepts.
/// Only safe while no other writer of those targets is at work (hold a DirectoryLock).
/// Returns the number of files removed.
std::size_t removeStaleTemporaries(const std::filesystem::path& directory,
                                   const std::function<bool(std::string_view target)>& isOwnTarget);

/// An exclusive advisory lock (flock) on a directory, held until destroyed, so processes
/// sharing the directory take turns at a read-modify-write sequence. Each lock is its own
/// open file description: two locks on one directory exclude each other within one process
/// too, so a thread must not take a second lock on a directory it holds. Waits until
/// granted; a directory that cannot be opened (missing, no permission) or locked leaves the
/// lock not held (`held()` false), and callers go on without it.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::filesystem::path& directory);
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  [[nodiscard]] bool held() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

/// The whole file, or nothing when it cannot be read.
std::optional<Bytes> read(const std::filesystem::path& path);
/// Makes the directory (and parents) with mode 0700 when missing; false on failure.
/// Existing directories keep their mode.
bool ensureDirectory(const std::filesystem::path& path);

}  // namespace velqo::platform::files
