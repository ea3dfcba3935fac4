// The device information of a V1 start: identifier rules, fingerprint, signals and the time
// zone offset read from the system's zone database.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "v1/protocol/time_zone_offset.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/v1/protocol/device_info_builder.hpp"

namespace velqo {
namespace {

using Builder = VelqoV1DeviceInfoBuilder;

class DeviceInfoBuilder : public ::testing::Test {
 protected:
  void SetUp() override {
    savedDevice_ = platform::currentDevice();
    savedBundle_ = platform::mainBundle();
    platform::DeviceInfo device = savedDevice_;
    device.identifierForVendor = "8C2B6F3A-0000-4000-8000-00000000ABCD";
    device.timeZone = "Asia/Kolkata";
    platform::setCurrentDevice(device);
  }
  void TearDown() override {
    platform::setCurrentDevice(savedDevice_);
    platform::setMainBundle(savedBundle_);
  }
  static void editDevice(void (*edit)(platform::DeviceInfo&)) {
    platform::DeviceInfo device = platform::currentDevice();
    edit(device);
    platform::setCurrentDevice(device);
  }

 private:
  platform::DeviceInfo savedDevice_;
  platform::BundleInfo savedBundle_;
};

const VelqoV1JSONValue* signal(const VelqoV1DeviceInfo& info, std::string_view name) {
  return info.signals ? info.signals->find(name) : nullptr;
}

TEST_F(DeviceInfoBuilder, BlankIdentifierFailsBeforeFingerprintWorkAndFingerprintFailuresCarryTheirText) {
  editDevice([](platform::DeviceInfo& d) { d.identifierForVendor.reset(); });  // fingerprints now fail
  try {
    Builder::build(" \n\t", "1.0");
    FAIL() << "built";
  } catch (const VelqoV1DeviceInfoError& e) {
    EXPECT_EQ(e, VelqoV1DeviceInfoError::invalidIdentifier());
    EXPECT_EQ(e.domain(), "VelqoV1DeviceInfoError");
    EXPECT_EQ(e.code(), 1);
  }
  try {
    Builder::build("alice", "1.0");
    FAIL() << "built";
  } catch (const VelqoV1DeviceInfoError& e) {
    EXPECT_EQ(e, VelqoV1DeviceInfoError::fingerprintGenerationFailed(
                     "Could not retrieve identifierForVendor (OSDI)."));
    EXPECT_EQ(e.code(), 0);
  }
}

TEST_F(DeviceInfoBuilder, IdentifiersThatNormaliseAlikeShareAFingerprint) {
  const auto a = Builder::build(" Alice@Example.COM \n", std::nullopt);
  const auto b = Builder::build("alice@example.com", std::nullopt);
  const auto other = Builder::build("bob@example.com", std::nullopt);
  EXPECT_EQ(a.v, 1);
  EXPECT_EQ(a.fingerprint.size(), 64u);
  EXPECT_EQ(a.fingerprint.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(a.fingerprint, b.fingerprint);
  EXPECT_NE(a.fingerprint, other.fingerprint);
  EXPECT_EQ(Builder::normalizedIdentifier("\t MiXed \r\n"), "mixed");
}

TEST_F(DeviceInfoBuilder, SignalsComeFromDeviceAndBundleAndDropWhatIsMissing) {
  editDevice([](platform::DeviceInfo& d) {
    d.systemName = "iOS";
    d.systemVersion = "17.4.1";
    d.model = "iPhone";
    d.locale = "";
    d.preferredLanguages = {"nb-NO", "en"};
  });
  struct Case {
    std::optional<std::string> sdkVersion;
    bool hasSdkVersion;
  };
  for (const auto& c : std::vector<Case>{{std::nullopt, false}, {"", false}, {"3.1.0", true}}) {
    const auto info = Builder::build("alice", c.sdkVersion);
    ASSERT_TRUE(info.signals);
    const auto text = [&](const char* name) -> std::optional<std::string> {
      const auto* value = signal(info, name);
      if (value == nullptr || value->stringValue() == nullptr) return std::nullopt;
      return *value->stringValue();
    };
    EXPECT_EQ(text("os"), "iOS");
    EXPECT_EQ(text("osVersion"), "17.4.1");
    EXPECT_EQ(text("deviceType"), "iPhone");
    EXPECT_TRUE(text("deviceModel"));
    EXPECT_EQ(text("bundleId"), "com.velqo.tests");
    EXPECT_EQ(text("appVersion"), "1.2.3");
    EXPECT_EQ(text("appBuild"), "45");
    EXPECT_EQ(text("appName"), "VelqoTests");
    EXPECT_FALSE(text("locale"));
    EXPECT_EQ(text("language"), "nb-NO");
    EXPECT_EQ(text("timezone"), "Asia/Kolkata");
    EXPECT_EQ(text("cpuArch"), "arm64");
    EXPECT_EQ(text("platform"), "ios");
    EXPECT_EQ(signal(info, "isSimulator")->boolValue(), true);
    EXPECT_EQ(signal(info, "timezoneOffsetMinutes")->numberValue(), 330.0);
    EXPECT_EQ(text("sdkVersion"), c.hasSdkVersion ? c.sdkVersion : std::nullopt);
    const auto* sdab = signal(info, "sdab")->objectValue();
    ASSERT_NE(sdab, nullptr);
    EXPECT_EQ(sdab->size(), 4u);
    EXPECT_EQ(*sdab->find("appBundleId")->stringValue(), "com.velqo.tests");
    EXPECT_EQ(*sdab->find("osVersion")->stringValue(), "17.4");
  }
  EXPECT_FALSE(Builder::buildSignals(std::nullopt).contains("sdab"));
}

TEST_F(DeviceInfoBuilder, AdditionalSignalsReplaceBuiltInOnes) {
  VelqoV1JSONObject extra;
  extra.set("platform", VelqoV1JSONValue::string("android"));
  extra.set("sdab", VelqoV1JSONValue::null());
  extra.set("screen", VelqoV1JSONValue::number(2.5));
  const auto info = Builder::build("alice", "1", extra);
  EXPECT_EQ(*signal(info, "platform")->stringValue(), "android");
  EXPECT_TRUE(signal(info, "sdab")->isNull());
  EXPECT_EQ(signal(info, "screen")->numberValue(), 2.5);
  EXPECT_EQ(*signal(info, "cpuArch")->stringValue(), "arm64");
}

TEST_F(DeviceInfoBuilder, TimeZoneOffsetIsTheDeviceZonesOffsetNow) {
  editDevice([](platform::DeviceInfo& d) { d.timeZone = "America/St_Johns"; });
  const auto now = std::chrono::system_clock::now();
  const double minutes = *Builder::buildSignals(std::nullopt).find("timezoneOffsetMinutes")->numberValue();
  EXPECT_TRUE(minutes == -210.0 || minutes == -150.0) << minutes;  // standard or daylight time
  EXPECT_EQ(minutes, static_cast<double>(*v1::detail::zoneOffsetSeconds("America/St_Johns", now) / 60));
}

TEST(TimeZoneOffset, ZoneFilesAndRulesGiveTheOffsetAtAnInstant) {
  using namespace std::chrono;
  const auto at = [](int y, unsigned m, unsigned d, int hour = 12) {
    return system_clock::time_point(sys_days(year(y) / month(m) / day(d))) + hours(hour);
  };
  struct ZoneCase {
    const char* zone;
    system_clock::time_point when;
    std::optional<long> seconds;
  };
  const std::vector<ZoneCase> zones = {
      {"Asia/Kolkata", at(2024, 1, 15), 19800},
      {"America/St_Johns", at(2024, 1, 15), -12600},
      {"America/St_Johns", at(2024, 7, 15), -9000},
      {"America/St_Johns", at(2045, 7, 15), -9000},  // beyond the file's transitions: its rule
      {"America/St_Johns", at(2045, 12, 15), -12600},
      {"Australia/Adelaide", at(2024, 1, 15), 37800},  // southern summer
      {"Australia/Adelaide", at(2024, 7, 15), 34200},
      {"Europe/Berlin", at(2024, 3, 31, 0), 3600},  // the night of the switch, 00:00 UTC
      {"Europe/Berlin", at(2024, 3, 31, 1), 7200},  // 01:00 UTC
      {"UTC", at(2024, 7, 1), 0},
      {"No/Such_Zone", at(2024, 7, 1), std::nullopt},
      {"../zoneinfo/UTC", at(2024, 7, 1), std::nullopt},
      {"/usr/share/zoneinfo/UTC", at(2024, 7, 1), std::nullopt},
      {"", at(2024, 7, 1), std::nullopt},
      {"Europe", at(2024, 7, 1), std::nullopt},  // a directory
  };
  for (const auto& c : zones) {
    EXPECT_EQ(v1::detail::zoneOffsetSeconds(c.zone, c.when), c.seconds) << c.zone;
  }

  const auto unix = [&](int y, unsigned m, unsigned d, int hour = 12) {
    return duration_cast<seconds>(at(y, m, d, hour).time_since_epoch()).count();
  };
  struct RuleCase {
    const char* rule;
    std::int64_t when;
    std::optional<long> seconds;
  };
  const std::vector<RuleCase> rules = {
      {"IST-5:30", unix(2024, 1, 1), 19800},
      {"<-0330>3:30", unix(2024, 1, 1), -12600},
      {"NST3:30NDT,M3.2.0,M11.1.0", unix(2024, 7, 1), -9000},
      {"NST3:30NDT,M3.2.0,M11.1.0", unix(2024, 12, 1), -12600},
      {"ACST-9:30ACDT,M10.1.0,M4.1.0/3", unix(2024, 1, 1), 37800},
      {"<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", unix(2024, 1, 1), 39600},
      {"EST5EDT", unix(2024, 7, 1), -14400},  // default rules
      {"XXX3YYY,J60/0,300", unix(2024, 6, 1), -7200},
      {"XX3", unix(2024, 1, 1), std::nullopt},
      {"ABC", unix(2024, 1, 1), std::nullopt},
      {"ABC-1DEF,M13.1.0,M1.1.0", unix(2024, 1, 1), std::nullopt},
  };
  for (const auto& c : rules) {
    EXPECT_EQ(v1::detail::posixRuleOffsetSeconds(c.rule, c.when), c.seconds) << c.rule;
  }
}

}  // namespace
}  // namespace velqo
