// Bundle and device information, with defaults read from this machine, and the
// application data directory.

#include "velqo/platform/environment.hpp"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/encoding.hpp"
#include "platform/files.hpp"

namespace velqo::platform {
namespace {

struct EnvironmentState {
  std::mutex mutex;
  BundleInfo bundle;
  std::optional<DeviceInfo> deviceOverride;
  std::optional<DeviceInfo> machineDefaults;  // without the vendor identifier
  std::filesystem::path dataDirectory;        // empty: the default location
};

EnvironmentState& state() {
  static EnvironmentState s;
  return s;
}

// Vendor identifiers already read or created, by data directory.
struct VendorCache {
  std::mutex mutex;
  std::filesystem::path directory;
  std::optional<std::string> identifier;
};

VendorCache& vendorCache() {
  static VendorCache c;
  return c;
}

std::string envValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

struct Uname {
  std::string sysname, release, machine;
};

Uname readUname() {
  struct utsname u {};
  if (::uname(&u) != 0) return {"Linux", "", "unknown"};
  return {u.sysname, u.release, u.machine};
}

// NAME and VERSION_ID of os-release (quotes and escapes removed).
std::pair<std::string, std::string> readOsRelease() {
  std::string name, version;
  for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(file);
    if (!in) continue;
    std::string line;
    while (std::getline(in, line)) {
      auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string key = trimWhitespace(line.substr(0, eq));
      std::string value = trimWhitespace(line.substr(eq + 1));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        std::string unquoted;
        for (std::size_t i = 1; i + 1 < value.size(); ++i) {
          if (value[i] == '\\' && i + 2 < value.size()) ++i;
          unquoted.push_back(value[i]);
        }
        value = unquoted;
      }
      if (key == "NAME") name = value;
      if (key == "VERSION_ID") version = value;
    }
    break;
  }
  return {name, version};
}

// "de_DE.UTF-8@euro" -> "de_DE"; nothing for the C and POSIX locales.
std::string localeIdentifier(std::string value) {
  value = value.substr(0, value.find_first_of(".@"));
  if (value.empty() || value == "C" || value == "POSIX") return {};
  return value;
}

std::string languageTag(std::string locale) {
  for (char& c : locale) {
    if (c == '_') c = '-';
  }
  return locale;
}

std::string hostName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') return "localhost";
  return buffer;
}

std::string timeZoneName() {
  constexpr std::string_view kZoneInfo = "zoneinfo/";
  auto fromPath = [&](const std::string& path) -> std::string {
    auto at = path.rfind(kZoneInfo);
    return at == std::string::npos ? std::string() : path.substr(at + kZoneInfo.size());
  };
  std::string tz = envValue("TZ");
  if (!tz.empty() && tz.front() == ':') tz.erase(0, 1);
  if (!tz.empty()) {
    if (tz.front() != '/') return tz;
    if (auto zone = fromPath(tz); !zone.empty()) return zone;
  }
  if (auto contents = files::read("/etc/timezone")) {
    std::string zone = trimWhitespace(textOf(*contents));
    if (!zone.empty()) return zone;
  }
  std::error_code ec;
  auto target = std::filesystem::read_symlink("/etc/localtime", ec);
  if (!ec) {
    if (auto zone = fromPath(target.string()); !zone.empty()) return zone;
  }
  return "UTC";
}

DeviceInfo machineDevice() {
  DeviceInfo d;
  Uname u = readUname();
  auto [osName, osVersion] = readOsRelease();
  d.systemName = !osName.empty() ? osName : u.sysname;
  d.systemVersion = !osVersion.empty() ? osVersion : u.release;
  d.model = u.sysname + " " + u.machine;
  d.name = hostName();

  std::string locale = localeIdentifier(envValue("LC_ALL"));
  if (locale.empty()) locale = localeIdentifier(envValue("LANG"));
  d.locale = locale.empty() ? "en_US" : locale;

  std::stringstream languages(envValue("LANGUAGE"));
  std::string entry;
  while (std::getline(languages, entry, ':')) {
    if (auto l = localeIdentifier(entry); !l.empty()) d.preferredLanguages.push_back(languageTag(l));
  }
  if (d.preferredLanguages.empty()) d.preferredLanguages.push_back(languageTag(d.locale));
  d.timeZone = timeZoneName();
  return d;
}

bool isUuid(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// A fresh identifier; nothing when the random generator fails.
std::optional<std::string> freshUuid() {
  try {
    return makeUuid();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The vendor identifier kept in the data directory, created on first use. Nothing when it
// cannot be kept: an identifier that changes with every start would be worse than none.
std::optional<std::string> vendorIdentifier() {
  std::filesystem::path dir = applicationDataDirectory();
  auto& cache = vendorCache();
  std::lock_guard lock(cache.mutex);
  if (cache.identifier && cache.directory == dir) return cache.identifier;

  auto file = dir / "vendor-identifier";
  // Creation takes turns with other processes sharing the directory; while it is held, what a
  // writer that died before its rename left behind is swept.
  files::LockFile creationLock(dir / ".vendor-identifier.lock");
  if (creationLock.held()) {
    files::removeStaleTemporaries(dir, [](std::string_view target) { return target == "vendor-identifier"; });
  }
  std::optional<std::string> found;
  for (int attempt = 0; attempt < 2 && !found; ++attempt) {
    if (auto contents = files::read(file)) {
      std::string text = trimWhitespace(textOf(*contents));
      if (isUuid(text)) {
        for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        found = text;
        break;
      }
      // An unusable file is replaced.
      auto fresh = freshUuid();
      if (fresh && files::writeAtomically(file, bytesOf(*fresh), 0600)) found = fresh;
      break;
    }
    auto fresh = freshUuid();
    if (!fresh) return std::nullopt;
    switch (files::createExclusively(file, bytesOf(*fresh), 0600)) {
      case files::CreateResult::created:
        found = fresh;
        break;
      case files::CreateResult::alreadyExists:
        continue;  // another process was first: read its identifier
      case files::CreateResult::failed:
        return std::nullopt;
    }
  }
  if (found) {
    cache.directory = dir;
    cache.identifier = found;
  }
  return found;
}

std::filesystem::path homeDirectory() {
  std::string home = envValue("HOME");
  if (!home.empty()) return home;
  struct passwd entry {};
  struct passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir && result->pw_dir[0] != '\0') {
    return result->pw_dir;
  }
  return "/tmp";
}

// A bundle identifier as one path component.
std::string directoryName(const std::optional<std::string>& identifier) {
  std::string name = identifier.value_or("");
  for (char& c : name) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (name.empty() || name == "." || name == "..") return "velqo";
  return name;
}

}  // namespace

std::optional<std::string> BundleInfo::infoValue(const std::string& key) const {
  auto it = info.find(key);
  if (it == info.end()) return std::nullopt;
  return it->second;
}

BundleInfo mainBundle() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.bundle;
}

void setMainBundle(BundleInfo bundle) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.bundle = std::move(bundle);
}

DeviceInfo currentDevice() {
  DeviceInfo device;
  {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.deviceOverride) return *s.deviceOverride;
    if (!s.machineDefaults) s.machineDefaults = machineDevice();
    device = *s.machineDefaults;
  }
  device.identifierForVendor = vendorIdentifier();
  return device;
}

void setCurrentDevice(DeviceInfo device) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.deviceOverride = std::move(device);
}

std::string machineName() {
  return readUname().machine;
}

std::filesystem::path applicationDataDirectory() {
  std::filesystem::path dir;
  {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    dir = s.dataDirectory;
    if (dir.empty()) {
      std::filesystem::path base = envValue("XDG_DATA_HOME");
      // Relative values are to be ignored.
      if (base.empty() || base.is_relative()) base = homeDirectory() / ".local" / "share";
      dir = base / directoryName(s.bundle.identifier);
    }
  }
  files::ensureDirectory(dir);
  return dir;
}

void setApplicationDataDirectory(std::filesystem::path directory) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.dataDirectory = std::move(directory);
}

std::filesystem::path applicationSupportDirectory() {
  auto dir = applicationDataDirectory() / "Application Support";
  files::ensureDirectory(dir);
  return dir;
}

}  // namespace velqo::platform
