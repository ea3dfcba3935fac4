#include "host_setup.hpp"

#include <velqo/platform/environment.hpp>
#include <velqo/platform/secure_keys.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "diagnostics.hpp"

namespace velqo::cli {
namespace {

// Creates the missing directories of `dir` with mode 0700 whatever the umask; existing ones
// keep their mode.
bool makePrivateDirectories(const std::filesystem::path& dir) {
  std::filesystem::path partial;
  for (const auto& component : dir) {
    partial /= component;
    if (::mkdir(partial.c_str(), 0700) == 0) {
      if (::chmod(partial.c_str(), 0700) != 0) return false;
    } else if (errno != EEXIST) {
      return false;
    }
  }
  std::error_code ec;
  return std::filesystem::is_directory(dir, ec);
}

void checkPrivateDirectory(const std::filesystem::path& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw std::runtime_error("cannot use the data directory");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw std::runtime_error(
        "the data directory is writable by group or others; make it private (chmod 700)");
  }
}

}  // namespace

void applyGlobalOptions(const GlobalOptions& options) {
  installDebugSink(options.debug);

  platform::BundleInfo bundle;
  bundle.identifier = options.bundleId;
  if (options.appVersion) bundle.info["CFBundleShortVersionString"] = *options.appVersion;
  if (options.appBuild) bundle.info["CFBundleVersion"] = *options.appBuild;
  bundle.info["CFBundleName"] = "velqo-cli";
  platform::setMainBundle(std::move(bundle));

  if (options.dataDir) {
    const std::filesystem::path dir = std::filesystem::absolute(*options.dataDir);
    if (!makePrivateDirectories(dir)) throw std::runtime_error("cannot create the data directory");
    platform::setApplicationDataDirectory(dir);
  }
  // Item files, device secrets and the embedded service's state live there: a directory
  // that others may write to would let them replace or remove them.
  checkPrivateDirectory(platform::applicationDataDirectory());

  platform::keys::setHardwareKeyMode(options.noSecureEnclave ? platform::HardwareKeyMode::notAvailable
                                                             : platform::HardwareKeyMode::available);
}

}  // namespace velqo::cli
