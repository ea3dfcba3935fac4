#include "core/identity/device_records.hpp"

#include <cstdlib>

#include "velqo/platform/environment.hpp"

namespace velqo {

namespace {

constexpr const char* kUnknown = "unknown";

std::string infoOrUnknown(const platform::BundleInfo& bundle, const char* key) {
  auto value = bundle.infoValue(key);
  return value ? *value : std::string(kUnknown);
}

}  // namespace

std::string deviceModelIdentifier() {
  const std::string machine = platform::machineName();
  if (machine == "i386" || machine == "x86_64" || machine == "arm64") {
    if (const char* simulated = std::getenv("SIMULATOR_MODEL_IDENTIFIER")) return simulated;
    return "Simulator (" + machine + ")";
  }
  return machine;
}

V5EnvironmentInfo V5EnvironmentInfo::current() {
  const platform::BundleInfo bundle = platform::mainBundle();
  const platform::DeviceInfo device = platform::currentDevice();
  const std::string appName = infoOrUnknown(bundle, "CFBundleName");
  const std::string shortVersion = infoOrUnknown(bundle, "CFBundleShortVersionString");
  const std::string build = infoOrUnknown(bundle, "CFBundleVersion");
  V5EnvironmentInfo info;
  info.userAgent = appName + " " + shortVersion + " (" + device.model + "; " + device.systemName + " " +
                   device.systemVersion + ")";
  info.osType = device.systemName;
  info.sdkVersion = "ios_v5_" + shortVersion + "_" + build;
  return info;
}

V5EnvironmentInfo V5EnvironmentInfo::fromStored(const std::optional<std::string>& storedUserAgent,
                                                const std::optional<std::string>& osType,
                                                const std::optional<std::string>& sdkVersion) {
  if (storedUserAgent && osType && sdkVersion)
    return V5EnvironmentInfo{*storedUserAgent, *osType, *sdkVersion};
  if (osType)
    return V5EnvironmentInfo{*osType + " Device", *osType, sdkVersion ? *sdkVersion : "ios_v5_legacy"};
  return current();
}

}  // namespace velqo
