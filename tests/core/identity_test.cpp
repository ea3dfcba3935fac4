#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "core/identity/device_records.hpp"
#include "core/identity/fingerprint_generator.hpp"
#include "core/identity/identity_json.hpp"
#include "core/identity/secure_enclave_helper.hpp"
#include "platform/crypto.hpp"
#include "platform/files.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo {
namespace {

namespace pc = platform::crypto;

class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedBundle_ = platform::mainBundle();
    savedDevice_ = platform::currentDevice();
    platform::DeviceInfo device = savedDevice_;
    device.systemName = "Linux";
    device.systemVersion = "17.2.1";
    device.model = "PC";
    device.identifierForVendor = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    platform::setCurrentDevice(device);
  }
  void TearDown() override {
    platform::setMainBundle(savedBundle_);
    platform::setCurrentDevice(savedDevice_);
  }
  static void setVersion(const std::string& version) {
    auto device = platform::currentDevice();
    device.systemVersion = version;
    platform::setCurrentDevice(device);
  }

  platform::BundleInfo savedBundle_;
  platform::DeviceInfo savedDevice_;
};

// Domain, code and description of the PlatformError the action throws.
std::tuple<std::string, long, std::string> failure(const std::function<void()>& action) {
  try {
    action();
  } catch (const platform::PlatformError& error) {
    return {error.domain(), error.code(), error.localizedDescription()};
  }
  return {"none", 0, ""};
}

TEST_F(IdentityTest, FingerprintCombinesSecretHashVendorSdabHashAndUser) {
  const std::string first = FingerprintGenerator::generateFingerprint("alice@example.com");
  EXPECT_EQ(first, FingerprintGenerator::generateFingerprint("alice@example.com"));
  EXPECT_NE(first, FingerprintGenerator::generateFingerprint("bob@example.com"));
  ASSERT_EQ(first.size(), 64u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);

  const auto secret = platform::files::read(SecureEnclaveHelper::secretFilePath("alice@example.com"));
  ASSERT_TRUE(secret.has_value());
  const std::string hka = pc::sha256Hex(pc::view(*secret));
  const std::string expected =
      pc::sha256Hex(pc::view(hka + "|6F9619FF-8B86-D011-B42D-00C04FC964FF|" +
                             FingerprintGenerator::generateSdabAttributes().sdabHash + "|alice@example.com"));
  EXPECT_EQ(first, expected);

  // Another vendor identifier is another device.
  auto device = platform::currentDevice();
  device.identifierForVendor = "00000000-0000-0000-0000-000000000000";
  platform::setCurrentDevice(device);
  EXPECT_NE(first, FingerprintGenerator::generateFingerprint("alice@example.com"));
}

TEST_F(IdentityTest, DeviceSecretIsPrivatePersistentAndPerUser) {
  const std::string user = "../../etc/passwd\n/x";
  const std::string hka = SecureEnclaveHelper::deviceSecretHash(user);
  const auto path = SecureEnclaveHelper::secretFilePath(user);
  EXPECT_EQ(path.parent_path(), platform::applicationSupportDirectory());
  EXPECT_EQ(path.filename().string().find("passwd"), std::string::npos);
  EXPECT_EQ(path.filename().string().rfind("com.velqo.tests.devsecret.", 0), 0u);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(std::filesystem::file_size(path), 32u);

  EXPECT_EQ(SecureEnclaveHelper::deviceSecretHash(user), hka);
  EXPECT_NE(SecureEnclaveHelper::deviceSecretHash("someone else"), hka);
  EXPECT_NE(SecureEnclaveHelper::secretFilePath("someone else"), path);

  // A file that cannot hold a secret is replaced by a fresh one.
  ASSERT_TRUE(platform::files::writeAtomically(path, bytesOf("short"), 0600));
  const std::string replaced = SecureEnclaveHelper::deviceSecretHash(user);
  EXPECT_NE(replaced, hka);
  EXPECT_EQ(std::filesystem::file_size(path), 32u);
  EXPECT_EQ(SecureEnclaveHelper::deviceSecretHash(user), replaced);
}

TEST_F(IdentityTest, FingerprintFailuresCarryTheirCodesAndTexts) {
  const std::string emptyUser = "UserID cannot be empty for fingerprint generation.";
  const std::string noVendor = "Could not retrieve identifierForVendor (OSDI).";
  const std::string noBundle = "Could not retrieve Bundle Identifier.";
  using Expected = std::tuple<std::string, long, std::string>;
  EXPECT_EQ(failure([] { FingerprintGenerator::generateFingerprint(""); }),
            Expected("FingerprintError", 2, emptyUser));

  auto device = platform::currentDevice();
  device.identifierForVendor.reset();
  platform::setCurrentDevice(device);
  EXPECT_EQ(failure([] { FingerprintGenerator::generateFingerprint("carol"); }),
            Expected("FingerprintError", 1, noVendor));
  EXPECT_FALSE(std::filesystem::exists(SecureEnclaveHelper::secretFilePath("carol")));
  device.identifierForVendor = "ABC";
  platform::setCurrentDevice(device);

  for (std::optional<std::string> identifier :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    platform::BundleInfo bundle = savedBundle_;
    bundle.identifier = identifier;
    platform::setMainBundle(bundle);
    EXPECT_EQ(failure([] { FingerprintGenerator::generateSdabAttributes(); }),
              Expected("FingerprintError", 3, noBundle));
    EXPECT_EQ(failure([] { FingerprintGenerator::generateFingerprint("carol"); }),
              Expected("FingerprintError", 3, noBundle));
  }
  platform::setMainBundle(savedBundle_);

  auto badBundle = savedBundle_;
  badBundle.identifier = std::string("com.\xFF");
  platform::setMainBundle(badBundle);
  EXPECT_EQ(std::get<1>(failure([] { FingerprintGenerator::generateSdabAttributes(); })), 4);
}

TEST_F(IdentityTest, SdabAttributesAndTheirHash) {
  const auto sdab = FingerprintGenerator::generateSdabAttributes();
  EXPECT_EQ(sdab.appBundleId, "com.velqo.tests");
  EXPECT_EQ(sdab.cpuArch, "arm64");
  EXPECT_EQ(sdab.deviceModel, deviceModelIdentifier());
  EXPECT_EQ(sdab.osVersion, "17.2");
  const std::string serialised = R"({"appBundleId":"com.velqo.tests","cpuArch":"arm64","deviceModel":")" +
                                 sdab.deviceModel + R"(","osVersion":"17.2"})";
  EXPECT_EQ(sdab.sdabHash, pc::sha256Hex(pc::view(serialised)));

  const std::pair<const char*, const char*> versions[] = {
      {"17", "17"}, {"1.2.3.4", "1.2"}, {"", ""}, {"17..2", "17."}, {"18.0", "18.0"}};
  for (const auto& [full, cut] : versions) {
    setVersion(full);
    EXPECT_EQ(FingerprintGenerator::generateSdabAttributes().osVersion, cut) << full;
  }
}

TEST_F(IdentityTest, DeviceModelIdentifierNamesSimulatedMachines) {
  const std::string machine = platform::machineName();
  const char* saved = std::getenv("SIMULATOR_MODEL_IDENTIFIER");
  const std::string savedValue = saved ? saved : "";
  ::unsetenv("SIMULATOR_MODEL_IDENTIFIER");
  const bool simulated = machine == "i386" || machine == "x86_64" || machine == "arm64";
  EXPECT_EQ(deviceModelIdentifier(), simulated ? "Simulator (" + machine + ")" : machine);
  ::setenv("SIMULATOR_MODEL_IDENTIFIER", "Phone14,2", 1);
  EXPECT_EQ(deviceModelIdentifier(), simulated ? "Phone14,2" : machine);
  if (saved) {
    ::setenv("SIMULATOR_MODEL_IDENTIFIER", savedValue.c_str(), 1);
  } else {
    ::unsetenv("SIMULATOR_MODEL_IDENTIFIER");
  }
}

TEST_F(IdentityTest, EnvironmentRecordCurrentAndLegacy) {
  const V5EnvironmentInfo current = V5EnvironmentInfo::current();
  EXPECT_EQ(current, (V5EnvironmentInfo{"VelqoTests 1.2.3 (PC; Linux 17.2.1)", "Linux", "ios_v5_1.2.3_45"}));

  using O = std::optional<std::string>;
  const struct {
    O userAgent, osType, version;
    V5EnvironmentInfo expected;
  } rows[] = {
      {"UA", "iOS", "v9", {"UA", "iOS", "v9"}},
      {"", "", "", {"", "", ""}},
      {O(), "iOS", O(), {"iOS Device", "iOS", "ios_v5_legacy"}},
      {"UA", "iOS", O(), {"iOS Device", "iOS", "ios_v5_legacy"}},
      {O(), "iOS", "v9", {"iOS Device", "iOS", "v9"}},
      {"UA", O(), "v9", current},
      {O(), O(), O(), current},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(V5EnvironmentInfo::fromStored(row.userAgent, row.osType, row.version), row.expected)
        << row.userAgent.value_or("-") << "/" << row.osType.value_or("-") << "/" << row.version.value_or("-");
  }
}

TEST_F(IdentityTest, RecordsMapToJsonWithTheirOwnKeys) {
  const MobileDeviceInfoV1 info{"mobile_v1", "abc", {"com.x", "arm64", "M", "1.2"}};
  const nlohmann::ordered_json json = info;
  EXPECT_EQ(json.dump(), R"({"fp_version":"mobile_v1","fingerprint_hash":"abc","sdab_attributes":)"
                         R"({"appBundleId":"com.x","cpuArch":"arm64","deviceModel":"M","osVersion":"1.2"}})");
  EXPECT_EQ(nlohmann::json::parse(json.dump()).get<MobileDeviceInfoV1>(), info);

  const V5EnvironmentInfo env{"UA", "iOS", "v1"};
  EXPECT_EQ(nlohmann::ordered_json(env).dump(), R"({"userAgent":"UA","osType":"iOS","sdkVersion":"v1"})");
  EXPECT_THROW(nlohmann::json::parse(R"({"userAgent":"UA","osType":"iOS"})").get<V5EnvironmentInfo>(),
               nlohmann::json::exception);
  EXPECT_THROW(
      nlohmann::json::parse(R"({"userAgent":"UA","osType":"iOS","sdkVersion":1})").get<V5EnvironmentInfo>(),
      nlohmann::json::exception);
}

}  // namespace
}  // namespace velqo
