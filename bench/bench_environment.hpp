#pragma once

// The process-wide settings a benchmark needs (a bundle identifier, a private data directory,
// a fixed vendor identifier, an in-memory item store, the hardware-key mode), set for the
// benchmark's lifetime and put back as they were when it ends, so no benchmark sees what an
// earlier one configured.

#include <memory>

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
  explicit ScopedBenchEnvironment(Options options)
      : bundle_(platform::mainBundle()),
        device_(platform::currentDevice()),
        keyMode_(platform::keys::hardwareKeyMode()) {
    platform::setApplicationDataDirectory(dir_.path());
    platform::BundleInfo bundle;
    bundle.identifier = kBundleIdentifier;
    platform::setMainBundle(bundle);
    platform::DeviceInfo device = device_;
    device.identifierForVendor = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    platform::setCurrentDevice(device);
    platform::keys::setHardwareKeyMode(options.hardwareKeys ? platform::HardwareKeyMode::available
                                                            : platform::HardwareKeyMode::notAvailable);
    platform::setItemStore(options.memoryItemStore ? platform::InMemoryItemStore::create() : nullptr);
  }

  ~ScopedBenchEnvironment() {
    platform::setItemStore(nullptr);
    platform::keys::setHardwareKeyMode(keyMode_);
    platform::setCurrentDevice(device_);
    platform::setMainBundle(bundle_);
    platform::setApplicationDataDirectory({});
  }

  ScopedBenchEnvironment(const ScopedBenchEnvironment&) = delete;
  ScopedBenchEnvironment& operator=(const ScopedBenchEnvironment&) = delete;

 private:
  platform::BundleInfo bundle_;
  platform::DeviceInfo device_;
  platform::HardwareKeyMode keyMode_;
  testing::ScopedTempDirectory dir_{"velqo-bench"};
};

}  // namespace velqo::bench
