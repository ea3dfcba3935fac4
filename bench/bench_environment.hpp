#pragma once

// The process-wide settings a benchmark needs (a bundle identifier, a private data directory,
// a fixed vendor identifier, an in-memory item store, the hardware-key mode), set for the
// benchmark's lifetime and put back as they were when it ends, so no benchmark sees what an
// earlier one configured.

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

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
    std::string pattern = (std::filesystem::temp_directory_path() / "velqo-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
    platform::setApplicationDataDirectory(dir_);
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
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  ScopedBenchEnvironment(const ScopedBenchEnvironment&) = delete;
  ScopedBenchEnvironment& operator=(const ScopedBenchEnvironment&) = delete;

 private:
  platform::BundleInfo bundle_;
  platform::DeviceInfo device_;
  platform::HardwareKeyMode keyMode_;
  std::filesystem::path dir_;
};

}  // namespace velqo::bench
