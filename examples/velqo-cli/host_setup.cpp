#include "host_setup.hpp"

#include <velqo/platform/environment.hpp>
#include <velqo/platform/secure_keys.hpp>

#include <stdexcept>
#include <system_error>

#include "diagnostics.hpp"

namespace velqo::cli {

void applyGlobalOptions(const GlobalOptions& options) {
  installDebugSink(options.debug);

  platform::BundleInfo bundle;
  bundle.identifier = options.bundleId;
  if (options.appVersion) bundle.info["CFBundleShortVersionString"] = *options.appVersion;
  if (options.appBuild) bundle.info["CFBundleVersion"] = *options.appBuild;
  bundle.info["CFBundleName"] = "velqo-cli";
  platform::setMainBundle(std::move(bundle));

  if (options.dataDir) {
    std::error_code ec;
    std::filesystem::create_directories(*options.dataDir, ec);
    if (ec || !std::filesystem::is_directory(*options.dataDir)) {
      throw std::runtime_error("cannot create the data directory");
    }
    platform::setApplicationDataDirectory(std::filesystem::absolute(*options.dataDir));
  }

  platform::keys::setHardwareKeyMode(options.noSecureEnclave ? platform::HardwareKeyMode::notAvailable
                                                             : platform::HardwareKeyMode::available);
}

}  // namespace velqo::cli
