// The device information of a V1 start: identifier rules, fingerprint, signals and the time
// zone offset read from the system's zone database.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/time_zone.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/v1/protocol/device_info_builder.hpp"

namespace velqo {
namespace {

using Builder = VelqoV1DeviceInfoBuilder;

class DeviceInfoBuilder : public ::testing::Test {
 protected:
  void SetUp() override {
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
  platform::DeviceInfo savedDevice_ = platform::currentDevice();
  platform::BundleInfo savedBundle_ = platform::mainBundle();
};

TEST_F(DeviceInfoBuilder, IdentifierRulesFingerprintAndItsFailures) {
  const auto a = Builder::build(" Alice@Example.COM \n", std::nullopt);
  EXPECT_EQ(a.v, 1);
  EXPECT_EQ(a.fingerprint.size(), 64u);
  EXPECT_EQ(a.fingerprint.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(a.fingerprint, Builder::build("alice@example.com", std::nullopt).fingerprint);
  EXPECT_NE(a.fingerprint, Builder::build("bob@example.com", std::nullopt).fingerprint);

  editDevice([](platform::DeviceInfo& d) { d.identifierForVendor.reset(); });  // fingerprints now fail
  try {
    Builder::build(" \n\t", "1.0");  // the identifier is checked first
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

TEST_F(DeviceInfoBuilder, SignalsComeFromDeviceAndBundleAndDropWhatIsMissing) {
  editDevice([](platform::DeviceInfo& d) {
    d.systemName = "iOS";
    d.systemVersion = "17.4.1";
    d.model = "iPhone";
    d.locale = "";
    d.preferredLanguages = {"nb-NO", "en"};
  });
  const auto info = Builder::build("alice", "3.1.0");
  ASSERT_TRUE(info.signals);
  const VelqoV1JSONObject& signals = *info.signals;
  const auto text = [](const VelqoV1JSONObject& object, const char* name) -> std::optional<std::string> {
    const auto* value = object.find(name);
    if (value == nullptr || value->stringValue() == nullptr) return std::nullopt;
    return *value->stringValue();
  };
  std::string texts;
  for (const char* name : {"os", "osVersion", "deviceType", "bundleId", "appVersion", "appBuild", "appName",
                           "locale", "language", "timezone", "cpuArch", "platform", "sdkVersion"}) {
    texts += std::string(name) + "=" + text(signals, name).value_or("<none>") + ";";
  }
  EXPECT_EQ(
      texts,
      "os=iOS;osVersion=17.4.1;deviceType=iPhone;bundleId=com.velqo.tests;appVersion=1.2.3;appBuild=45;"
      "appName=VelqoTests;locale=<none>;language=nb-NO;timezone=Asia/Kolkata;cpuArch=arm64;platform=ios;"
      "sdkVersion=3.1.0;");
  EXPECT_TRUE(text(signals, "deviceModel"));
  EXPECT_EQ(signals.find("isSimulator")->boolValue(), true);
  EXPECT_EQ(signals.find("timezoneOffsetMinutes")->numberValue(), 330.0);
  const auto* sdab = signals.find("sdab")->objectValue();
  ASSERT_NE(sdab, nullptr);
  EXPECT_EQ(sdab->size(), 4u);
  EXPECT_EQ(text(*sdab, "appBundleId"), "com.velqo.tests");
  EXPECT_EQ(text(*sdab, "osVersion"), "17.4");

  EXPECT_FALSE(Builder::buildSignals("").contains("sdkVersion"));
  const auto bare = Builder::buildSignals(std::nullopt);
  EXPECT_FALSE(bare.contains("sdkVersion"));
  EXPECT_FALSE(bare.contains("sdab"));

  VelqoV1JSONObject extra;  // replaces built-in signals
  extra.set("platform", VelqoV1JSONValue::string("android"));
  extra.set("sdab", VelqoV1JSONValue::null());
  extra.set("screen", VelqoV1JSONValue::number(2.5));
  const auto merged = *Builder::build("alice", "1", extra).signals;
  EXPECT_EQ(text(merged, "platform"), "android");
  EXPECT_TRUE(merged.find("sdab")->isNull());
  EXPECT_EQ(merged.find("screen")->numberValue(), 2.5);
  EXPECT_EQ(text(merged, "cpuArch"), "arm64");
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
      {"Europe/Berlin", at(2024, 3, 31, 0), 3600},     // the night of the switch, 00:00 UTC
      {"Europe/Berlin", at(2024, 3, 31, 1), 7200},     // 01:00 UTC
      {"No/Such_Zone", at(2024, 7, 1), std::nullopt},
      {"../zoneinfo/UTC", at(2024, 7, 1), std::nullopt},
      {"/usr/share/zoneinfo/UTC", at(2024, 7, 1), std::nullopt},
      {"Europe", at(2024, 7, 1), std::nullopt},  // a directory
  };
  for (const auto& c : zones) EXPECT_EQ(platform::zoneOffsetSeconds(c.zone, c.when), c.seconds) << c.zone;

  const auto unix = [&](int y, unsigned m, unsigned d) {
    return duration_cast<seconds>(at(y, m, d).time_since_epoch()).count();
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
      {"ACST-9:30ACDT,M10.1.0,M4.1.0/3", unix(2024, 1, 1), 37800},
      {"<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", unix(2024, 1, 1), 39600},
      {"EST5EDT", unix(2024, 7, 1), -14400},  // default rules
      {"XXX3YYY,J60/0,300", unix(2024, 6, 1), -7200},
      {"XX3", unix(2024, 1, 1), std::nullopt},
      {"ABC-1DEF,M13.1.0,M1.1.0", unix(2024, 1, 1), std::nullopt},
  };
  for (const auto& c : rules) {
    EXPECT_EQ(platform::posixRuleOffsetSeconds(c.rule, c.when), c.seconds) << c.rule;
  }
}

}  // namespace
}  // namespace velqo
