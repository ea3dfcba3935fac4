#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "velqo/export.hpp"
#include "velqo/platform/bytes.hpp"

namespace velqo::platform {

/// A persistent per-application store of small values (texts, bytes, numbers) by key.
/// Writes go to a file in the application data directory, atomically (temporary file,
/// flush, rename); the host may read the same keys. The file is read on first use and again
/// before each write, under an advisory lock on a lock file beside it, so processes sharing the file
/// keep each other's values. A write that fails keeps the value in memory for this process
/// and the old file on disk, and writes a debug line that starts with
/// "[UserDefaults] Could not write " and the file's path. A file that is there but cannot be
/// read is never written over: until it can be read, reads give nothing and writes fail.
/// Thread-safe.
class VELQO_API UserDefaults {
 public:
  virtual ~UserDefaults() = default;

  virtual void setString(const std::string& key, const std::string& value) = 0;
  virtual void setData(const std::string& key, const Bytes& value) = 0;
  virtual void setNumber(const std::string& key, double value) = 0;
  virtual void remove(const std::string& key) = 0;

  /// The value when the key holds one of that kind, else nothing.
  virtual std::optional<std::string> string(const std::string& key) const = 0;
  virtual std::optional<Bytes> data(const std::string& key) const = 0;
  virtual std::optional<double> number(const std::string& key) const = 0;

  /// The store of `applicationDataDirectory() / "defaults.json"`, created on first use.
  static std::shared_ptr<UserDefaults> standard();
  /// A store kept in the given file.
  static std::shared_ptr<UserDefaults> open(std::filesystem::path file);
  /// Replaces the standard store (tests, hosts with their own). nullptr restores the default.
  static void setStandard(std::shared_ptr<UserDefaults> defaults);
};

}  // namespace velqo::platform
