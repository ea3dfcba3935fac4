#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "velqo/export.hpp"

namespace velqo::platform {

/// The host application's bundle: its identifier and Info values such as
/// "CFBundleShortVersionString", "CFBundleVersion" and "CFBundleName".
struct VELQO_API BundleInfo {
  std::optional<std::string> identifier;
  std::map<std::string, std::string> info;

  /// The Info value of that key, if any.
  std::optional<std::string> infoValue(const std::string& key) const;
};

/// The running device as the library sees it.
struct DeviceInfo {
  std::string systemName;     ///< e.g. the OS name from os-release
  std::string systemVersion;  ///< e.g. "12.4"
  std::string model;          ///< generic model text
  std::string name;           ///< the device's user-visible name (host name by default)
  /// Per-application upper-case UUID, kept on disk; nothing when it cannot be kept there.
  std::optional<std::string> identifierForVendor;
  std::string locale;                           ///< e.g. "en_US"
  std::vector<std::string> preferredLanguages;  ///< e.g. {"en-US"}
  std::string timeZone;                         ///< IANA name, e.g. "Europe/Berlin"
};

/// The host sets these once at start-up; until then the defaults below apply.
/// Defaults: bundle identifier and Info values empty; device values read from this machine
/// (uname, /etc/os-release, the environment's LANG and TZ, the host name) and a random vendor
/// identifier kept in the application data directory. All functions are thread-safe.
VELQO_API BundleInfo mainBundle();
VELQO_API void setMainBundle(BundleInfo bundle);

VELQO_API DeviceInfo currentDevice();
/// Replaces the device values (the vendor identifier too, which may be set to nothing to
/// simulate a device that does not give one).
VELQO_API void setCurrentDevice(DeviceInfo device);

/// The machine name of `uname` ("x86_64", "aarch64", ...).
VELQO_API std::string machineName();

/// The application data directory: the one set with `setApplicationDataDirectory`, else
/// `$XDG_DATA_HOME/<bundle id or "velqo">`, falling back to `~/.local/share/...`. The bundle
/// identifier always makes one path component ("/" becomes "_"; "." and ".." give "velqo").
/// The item store, user defaults, per-user secrets and the vendor identifier live under it.
/// Created (mode 0700) on first use. An empty path given to the setter restores the default.
VELQO_API std::filesystem::path applicationDataDirectory();
VELQO_API void setApplicationDataDirectory(std::filesystem::path directory);
/// `applicationDataDirectory() / "Application Support"`, created on first use.
VELQO_API std::filesystem::path applicationSupportDirectory();

}  // namespace velqo::platform
