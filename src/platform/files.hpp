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
/// leaves the old file, if any, untouched.
bool writeAtomically(const std::filesystem::path& path, const Bytes& data, unsigned mode = 0600);
/// The whole file, or nothing when it cannot be read.
std::optional<Bytes> read(const std::filesystem::path& path);
/// Makes the directory (and parents) with mode 0700 when missing; false on failure.
bool ensureDirectory(const std::filesystem::path& path);

}  // namespace velqo::platform::files
