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
/// Only safe while no other writer of those targets is at work (hold the lock of their purpose).
/// Returns the number of files removed.
std::size_t removeStaleTemporaries(const std::filesystem::path& directory,
                                   const std::function<bool(std::string_view target)>& isOwnTarget);

/// An exclusive advisory lock (flock) on a lock file of its own, held until destroyed, so
/// processes sharing the data it guards take turns at a read-modify-write sequence. Each
/// purpose has its own lock file beside its data (see "Locks and their order" below), never a
/// bare directory that other purposes or a host's code could lock too. The file is created
/// (mode 0600) when missing and never removed. Each lock is its own open file description:
/// two locks on one file exclude each other within one process too, so a thread must not
/// take a lock it already holds. Waits until granted; a lock file that cannot be opened or
/// created (no permission, read-only directory) or locked leaves the lock not held
/// (`held()` false), and callers go on without it.
///
/// Locks and their order. A thread may take a lock only while it holds none of the locks
/// after it in this list; within one process each lock file is taken under an in-process
/// mutex of the same purpose first, so no lock of the library waits on another lock of the
/// same process. No lock is held across a call into host code (callbacks, debug sink),
/// except that a host's item store or user defaults are called under the locks before them.
///   1. Push record: a clear (throughout), a push registration taking its stamp of the clears,
///      and its answer that compares the stamp and writes the registered token,
///      "<data directory>/.push-record.lock" (the clears' mark beside it).
///   2. Token pair: the two token items of a user, "<item directory>/.token-pair.lock" for
///      the file item store (a host's own store gets the in-process mutex only).
///   3. Item store: each operation of the file item store, "<item directory>/.items.lock".
///   4. User defaults: each read-modify-write of a defaults file, "." + its name + ".lock"
///      beside it.
///   5. Device secret: creation of a per-user device secret,
///      "<Application Support>/.device-secret.lock".
///   6. Vendor identifier: its creation, "<data directory>/.vendor-identifier.lock".
/// Locks 5 and 6 are taken under none of the others and take none themselves.
class LockFile {
 public:
  explicit LockFile(const std::filesystem::path& file);
  ~LockFile();
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  [[nodiscard]] bool held() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

/// The whole file, or nothing when it cannot be read.
std::optional<Bytes> read(const std::filesystem::path& path);
/// Like `read`; when it gives nothing, `*missing` tells whether there was no file at all (nothing
/// under that name, or a parent that is no directory), as opposed to one that exists but could
/// not be opened or read (permissions, I/O error, not a regular file).
std::optional<Bytes> read(const std::filesystem::path& path, bool* missing);
/// Makes the directory (and parents) with mode 0700 when missing; false on failure.
/// Existing directories keep their mode.
bool ensureDirectory(const std::filesystem::path& path);

}  // namespace velqo::platform::files
