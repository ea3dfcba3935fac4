#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/time_zone.hpp"
#include "support/scoped_platform_settings.hpp"
#include "test_data.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/v1/protocol/device_info_builder.hpp"

namespace velqo {
namespace {

using Builder = VelqoV1DeviceInfoBuilder;

class DeviceInfoBuilder : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::DeviceInfo device = platform::currentDevice();
    device.identifierForVendor = "8C2B6F3A-0000-4000-8000-00000000ABCD";
    device.timeZone = "Asia/Kolkata";
    settings_.setCurrentDevice(device);
  }
  static void editDevice(void (*edit)(platform::DeviceInfo&)) {
    platform::DeviceInfo device = platform::currentDevice();
    edit(device);
    platform::setCurrentDevice(device);
  }

 private:
  testing::ScopedPlatformSettings settings_;
};

TEST_F(DeviceInfoBuilder, IdentifierRulesFingerprintAndItsFailures) {
  const auto a = Builder::build(" Alice@Example.COM \n", std::nullopt);
  EXPECT_EQ(a.v, 1);
  EXPECT_EQ(a.fingerprint.size(), 64u);
  EXPECT_EQ(a.fingerprint.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(a.fingerprint, Builder::build("alice@example.com", std::nullopt).fingerprint);
  EXPECT_NE(a.fingerprint, Builder::build("bob@example.com", std::nullopt).fingerprint);

  editDevice([](platform::DeviceInfo& d) { d.identifierForVendor.reset(); });  // fingerprints now fail
  // The identifier is checked first.
  const auto blank = testing::thrown<VelqoV1DeviceInfoError>([] { (void)Builder::build(" \n\t", "1.0"); });
  EXPECT_EQ(blank, VelqoV1DeviceInfoError::invalidIdentifier());
  EXPECT_EQ(blank ? blank->domain() : "", "VelqoV1DeviceInfoError");
  EXPECT_EQ(blank ? blank->code() : -1, 1);
  const auto noVendor = testing::thrown<VelqoV1DeviceInfoError>([] { (void)Builder::build("alice", "1.0"); });
  EXPECT_EQ(noVendor, VelqoV1DeviceInfoError::fingerprintGenerationFailed(
                          "Could not retrieve identifierForVendor (OSDI)."));
  EXPECT_EQ(noVendor ? noVendor->code() : -1, 0);
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
  const auto at = [](const nlohmann::json& d) {
    const auto date = year(d[0].get<int>()) / month(d[1].get<unsigned>()) / day(d[2].get<unsigned>());
    return system_clock::time_point(sys_days(date)) + hours(d[3].get<int>());
  };
  const auto offset = [](const nlohmann::json& j) {
    return j.is_null() ? std::nullopt : std::optional(j.get<long>());
  };
  const auto data = testing::testData("time_zone_offsets.json");
  for (const auto& c : data.at("zones")) {
    EXPECT_EQ(platform::zoneOffsetSeconds(c[0].get<std::string>(), at(c[1])), offset(c[2])) << c;
  }
  for (const auto& c : data.at("rules")) {
    const auto when = duration_cast<seconds>(at(c[1]).time_since_epoch()).count();
    EXPECT_EQ(platform::posixRuleOffsetSeconds(c[0].get<std::string>(), when), offset(c[2])) << c;
  }
}

}  // namespace
}  // namespace velqo
