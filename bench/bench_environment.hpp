#pragma once

// The process-wide settings a benchmark needs (a bundle identifier, a private data directory,
// a fixed vendor identifier, an in-memory item store, the hardware-key mode), set for the
// benchmark's lifetime and put back as they were when it ends, so no benchmark sees what an
// earlier one configured.

#include <memory>

#include "support/scoped_platform_settings.hpp"
#include "support/scoped_temp_directory.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/secure_keys.hpp"

namespace velqo::bench {

inline constexpr const char* kBundleIdentifier = "com.velqo.bench";

class ScopedBenchEnvironment {
 public:
  struct Options {
    bool hardwareKeys = true;
    /// An in-memory item store (the default); false keeps the file store in the data directory.
    bool memoryItemStore = true;
  };

  ScopedBenchEnvironment() : ScopedBenchEnvironment(Options{}) {}
  explicit ScopedBenchEnvironment(Options options) {
    settings_.setApplicationDataDirectory(dir_.path());
    platform::BundleInfo bundle;
    bundle.identifier = kBundleIdentifier;
    settings_.setMainBundle(bundle);
    platform::DeviceInfo device = platform::currentDevice();
    device.identifierForVendor = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    settings_.setCurrentDevice(device);
    settings_.setHardwareKeyMode(options.hardwareKeys ? platform::HardwareKeyMode::available
                                                      : platform::HardwareKeyMode::notAvailable);
    settings_.setItemStore(options.memoryItemStore ? platform::InMemoryItemStore::create() : nullptr);
  }

  ScopedBenchEnvironment(const ScopedBenchEnvironment&) = delete;
  ScopedBenchEnvironment& operator=(const ScopedBenchEnvironment&) = delete;

 private:
  testing::ScopedTempDirectory dir_{"velqo-bench"};
  testing::ScopedPlatformSettings settings_;  // after the directory: ends first
};

}  // namespace velqo::bench
