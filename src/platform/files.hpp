#pragma once

// Small file helpers (not installed).

#include <filesystem>
#include <optional>
#include <string>

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

/// The whole file, or nothing when it cannot be read.
std::optional<Bytes> read(const std::filesystem::path& path);
/// Makes the directory (and parents) with mode 0700 when missing; false on failure.
/// Existing directories keep their mode.
bool ensureDirectory(const std::filesystem::path& path);

}  // namespace velqo::platform::files
