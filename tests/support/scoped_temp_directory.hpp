#pragma once

// A private temporary directory that one object creates and removes. Tests and benchmarks run as
// root on shared machines, so the removal is guarded: it only deletes the directory this object
// made with mkdtemp, in the process that made it, under the temporary directory it was made in,
// and never follows a symbolic link put in its place.

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace velqo::testing {

class ScopedTempDirectory {
 public:
  /// Makes `<temp dir>/<prefix>-XXXXXX`; aborts the process when that fails.
  explicit ScopedTempDirectory(std::string_view prefix)
      : root_(temporaryRoot()), prefix_(std::string(prefix) + "-"), owner_(::getpid()) {
    std::string pattern = (root_ / (prefix_ + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }

  ~ScopedTempDirectory() {
    if (!isOwnDirectory()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }

  ScopedTempDirectory(const ScopedTempDirectory&) = delete;
  ScopedTempDirectory& operator=(const ScopedTempDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  // The temporary directory as an absolute path without a trailing separator: "/tmp/" or a
  // relative TMPDIR must compare equal to the parent of what mkdtemp made, and survive a change
  // of working directory.
  static std::filesystem::path temporaryRoot() {
    const auto root = std::filesystem::absolute(std::filesystem::temp_directory_path()).lexically_normal();
    return (root / "x").parent_path();
  }

  // The path is still the one mkdtemp returned in this process: directly under the temporary
  // directory, the prefix followed by six characters, a real directory and not a link.
  bool isOwnDirectory() const {
    if (::getpid() != owner_ || path_.empty() || root_.empty()) return false;
    if (path_.parent_path() != root_) return false;
    const std::string name = path_.filename().string();
    if (name.size() != prefix_.size() + 6 || name.compare(0, prefix_.size(), prefix_) != 0) return false;
    std::error_code ec;
    return std::filesystem::symlink_status(path_, ec).type() == std::filesystem::file_type::directory;
  }

  std::filesystem::path root_;
  std::string prefix_;
  pid_t owner_;
  std::filesystem::path path_;
};

}  // namespace velqo::testing
