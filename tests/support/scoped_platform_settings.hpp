#pragma once

// The process-wide settings of the platform layer (item store, user defaults, clock, hardware-key
// mode, bundle, device, data directory), installed for one scope and put back when it ends.
//
// The object records the bundle and the hardware-key mode when it is made, and every other
// setting when it first installs it; its destructor puts each back, in the reverse order of
// installation. The item store, user defaults, clock and data directory have no getter that is
// free of side effects, so for these "what was there" is what an enclosing ScopedPlatformSettings
// installed, else the library's default (the file-backed stores of the data directory, the
// system clock; the data directory of an outermost object is left as it is). The device is read when first
// replaced, as a test that edits it would. Objects nest: make them on the thread that runs the tests, and end
// them in the reverse order of their making (scopes and fixture members do).

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "velqo/platform/clock.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo/platform/user_defaults.hpp"

namespace velqo::testing {

class ScopedPlatformSettings {
 public:
  using Clock = std::function<platform::WallClock::time_point()>;

  ScopedPlatformSettings() : outer_(std::exchange(innermost(), this)) {
    restores_.emplace_back([bundle = platform::mainBundle()] { platform::setMainBundle(bundle); });
    restores_.emplace_back(
        [mode = platform::keys::hardwareKeyMode()] { platform::keys::setHardwareKeyMode(mode); });
  }
  ~ScopedPlatformSettings() {
    for (auto it = restores_.rbegin(); it != restores_.rend(); ++it) (*it)();
    innermost() = outer_;
  }
  ScopedPlatformSettings(const ScopedPlatformSettings&) = delete;
  ScopedPlatformSettings& operator=(const ScopedPlatformSettings&) = delete;

  /// nullptr: the file-backed store of the data directory.
  void setItemStore(std::shared_ptr<platform::ItemStore> store) {
    install(&ScopedPlatformSettings::itemStore_, std::move(store),
            [](std::shared_ptr<platform::ItemStore> s) { platform::setItemStore(std::move(s)); });
  }
  /// nullptr: the defaults file of the data directory.
  void setUserDefaults(std::shared_ptr<platform::UserDefaults> defaults) {
    install(
        &ScopedPlatformSettings::userDefaults_, std::move(defaults),
        [](std::shared_ptr<platform::UserDefaults> d) { platform::UserDefaults::setStandard(std::move(d)); });
  }
  /// An empty function: the system clock.
  void setClock(Clock clock) {
    install(&ScopedPlatformSettings::clock_, std::move(clock),
            [](Clock c) { platform::setClockOverride(std::move(c)); });
  }
  /// An empty path: the default directory. An outermost object leaves its directory set when it
  /// ends: put back to the default, a later library call (a worker's, at exit) would create the
  /// default directory in the home of whoever runs the tests.
  void setApplicationDataDirectory(std::filesystem::path directory) {
    const auto set = [](std::filesystem::path d) { platform::setApplicationDataDirectory(std::move(d)); };
    if (!dataDirectory_ && !installedOutside(&ScopedPlatformSettings::dataDirectory_)) {
      dataDirectory_ = directory;
      set(std::move(directory));
      return;
    }
    install(&ScopedPlatformSettings::dataDirectory_, std::move(directory), set);
  }
  void setCurrentDevice(platform::DeviceInfo device) {
    if (!device_) {
      auto enclosing = installedOutside(&ScopedPlatformSettings::device_);
      restores_.emplace_back([previous = enclosing ? *enclosing : platform::currentDevice()] {
        platform::setCurrentDevice(previous);
      });
    }
    device_ = device;
    platform::setCurrentDevice(std::move(device));
  }
  void setMainBundle(platform::BundleInfo bundle) { platform::setMainBundle(std::move(bundle)); }
  void setHardwareKeyMode(platform::HardwareKeyMode mode) { platform::keys::setHardwareKeyMode(mode); }

 private:
  static ScopedPlatformSettings*& innermost() {
    static ScopedPlatformSettings* settings = nullptr;
    return settings;
  }

  // What the nearest enclosing object installed for that setting, if any did.
  template <typename T>
  std::optional<T> installedOutside(std::optional<T> ScopedPlatformSettings::*setting) const {
    for (const ScopedPlatformSettings* s = outer_; s != nullptr; s = s->outer_) {
      if (s->*setting) return s->*setting;
    }
    return std::nullopt;
  }

  // Installs `value`; the first time, arranges for what was there before to come back.
  template <typename T, typename Set>
  void install(std::optional<T> ScopedPlatformSettings::*setting, T value, Set set) {
    if (!(this->*setting)) {
      restores_.emplace_back([set, previous = installedOutside(setting).value_or(T{})] { set(previous); });
    }
    this->*setting = value;
    set(std::move(value));
  }

  ScopedPlatformSettings* outer_;
  std::vector<std::function<void()>> restores_;
  std::optional<std::shared_ptr<platform::ItemStore>> itemStore_;
  std::optional<std::shared_ptr<platform::UserDefaults>> userDefaults_;
  std::optional<Clock> clock_;
  std::optional<std::filesystem::path> dataDirectory_;
  std::optional<platform::DeviceInfo> device_;
};

}  // namespace velqo::testing
