#include "velqo/v1/protocol/device_info_builder.hpp"

#include <chrono>
#include <exception>
#include <utility>

#include "core/identity/device_records.hpp"
#include "core/identity/fingerprint_generator.hpp"
#include "platform/encoding.hpp"
#include "platform/identifier_text.hpp"
#include "platform/time_zone.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo {

namespace {

void setText(VelqoV1JSONObject& signals, const char* name, const std::optional<std::string>& value) {
  if (value && !value->empty()) signals.set(name, VelqoV1JSONValue::string(*value));
}

// The offset of the device's time zone now. A zone the database does not know (or an empty
// identifier) falls back to the process's own local time zone.
long currentOffsetSeconds(const std::string& zone) {
  const auto now = std::chrono::system_clock::now();
  if (auto offset = platform::zoneOffsetSeconds(zone, now)) return *offset;
  return platform::processLocalOffsetSeconds(now);
}

}  // namespace

VelqoV1DeviceInfoError::VelqoV1DeviceInfoError(Case c, std::string failureDescription,
                                               std::string description)
    : PlatformError("VelqoV1DeviceInfoError", static_cast<long>(c), std::move(description)),
      case_(c),
      failureDescription_(std::move(failureDescription)) {}

VelqoV1DeviceInfoError VelqoV1DeviceInfoError::fingerprintGenerationFailed(std::string failureDescription) {
  std::string description = "Fingerprint generation failed: " + failureDescription;
  return {Case::fingerprintGenerationFailed, std::move(failureDescription), std::move(description)};
}

VelqoV1DeviceInfoError VelqoV1DeviceInfoError::invalidIdentifier() {
  return {Case::invalidIdentifier, std::string(), "Invalid identifier"};
}

std::string VelqoV1DeviceInfoBuilder::normalizedIdentifier(std::string_view identifier) {
  return platform::normalizedIdentifier(identifier);
}

VelqoV1DeviceInfo VelqoV1DeviceInfoBuilder::build(std::string_view identifier,
                                                  const std::optional<std::string>& sdkVersion,
                                                  const VelqoV1JSONObject& additionalSignals) {
  const std::string normalized = normalizedIdentifier(identifier);
  if (normalized.empty()) throw VelqoV1DeviceInfoError::invalidIdentifier();

  // The attributes enter both the fingerprint and the signals: made once.
  std::optional<SdabAttributes> sdab;
  try {
    sdab = FingerprintGenerator::generateSdabAttributes();
  } catch (...) {
    sdab.reset();  // the fingerprint step makes them again and reports why they fail
  }

  std::string fingerprint;
  try {
    fingerprint = FingerprintGenerator::generateFingerprint(normalized, sdab ? &*sdab : nullptr);
  } catch (const platform::PlatformError& e) {
    throw VelqoV1DeviceInfoError::fingerprintGenerationFailed(e.localizedDescription());
  } catch (const std::exception& e) {
    throw VelqoV1DeviceInfoError::fingerprintGenerationFailed(e.what());
  }

  VelqoV1JSONObject signals = buildSignals(sdkVersion);
  // The attributes are optional: without them the record simply carries no "sdab".
  if (sdab) {
    signals.set("sdab",
                VelqoV1JSONValue::object({{"appBundleId", VelqoV1JSONValue::string(sdab->appBundleId)},
                                          {"cpuArch", VelqoV1JSONValue::string(sdab->cpuArch)},
                                          {"deviceModel", VelqoV1JSONValue::string(sdab->deviceModel)},
                                          {"osVersion", VelqoV1JSONValue::string(sdab->osVersion)}}));
  }
  for (const auto& [name, value] : additionalSignals) signals.set(name, value);

  VelqoV1DeviceInfo info;
  info.v = 1;
  info.fingerprint = std::move(fingerprint);
  if (!signals.empty()) info.signals = std::move(signals);
  return info;
}

VelqoV1JSONObject VelqoV1DeviceInfoBuilder::buildSignals(const std::optional<std::string>& sdkVersion) {
  const platform::DeviceInfo device = platform::currentDevice();
  const platform::BundleInfo bundle = platform::mainBundle();

  VelqoV1JSONObject signals;
  setText(signals, "os", device.systemName);
  setText(signals, "osVersion", device.systemVersion);
  setText(signals, "deviceModel", deviceModelIdentifier());
  setText(signals, "deviceType", device.model);
  setText(signals, "bundleId", bundle.identifier);
  setText(signals, "appVersion", bundle.infoValue("CFBundleShortVersionString"));
  setText(signals, "appBuild", bundle.infoValue("CFBundleVersion"));
  setText(signals, "appName", bundle.infoValue("CFBundleName"));
  setText(signals, "locale", device.locale);
  if (!device.preferredLanguages.empty()) setText(signals, "language", device.preferredLanguages.front());
  setText(signals, "timezone", device.timeZone);

  const long offsetSeconds = currentOffsetSeconds(device.timeZone);
  signals.set("timezoneOffsetMinutes", VelqoV1JSONValue::number(static_cast<double>(offsetSeconds / 60)));
  signals.set("cpuArch", VelqoV1JSONValue::string("arm64"));
  setText(signals, "sdkVersion", sdkVersion);
  signals.set("platform", VelqoV1JSONValue::string("ios"));
  signals.set("isSimulator", VelqoV1JSONValue::boolean(true));
  return signals;
}

}  // namespace velqo
