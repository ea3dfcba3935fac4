#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <tuple>

#include "core/identity/device_records.hpp"
#include "core/identity/fingerprint_generator.hpp"
#include "core/identity/secure_enclave_helper.hpp"
#include "platform/crypto.hpp"
#include "platform/files.hpp"
#include "support/scoped_platform_settings.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/platform/user_defaults.hpp"

namespace velqo {
namespace {

namespace pc = platform::crypto;

class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedBundle_ = platform::mainBundle();
    platform::DeviceInfo device = platform::currentDevice();
    device.systemName = "Linux";
    device.systemVersion = "17.2.1";
    device.model = "PC";
    device.identifierForVendor = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    settings_.setCurrentDevice(device);
  }
  static void setVersion(const std::string& version) {
    auto device = platform::currentDevice();
    device.systemVersion = version;
    platform::setCurrentDevice(device);
  }

  testing::ScopedPlatformSettings settings_;
  platform::BundleInfo savedBundle_;  // the test bundle, which the tests vary
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
  const auto secret = platform::files::read(SecureEnclaveHelper::secretFilePath("alice@example.com"));
  ASSERT_TRUE(secret.has_value());
  const std::string hka = pc::sha256Hex(pc::view(*secret));
  const std::string expected =
      pc::sha256Hex(pc::view(hka + "|6F9619FF-8B86-D011-B42D-00C04FC964FF|" +
                             FingerprintGenerator::generateSdabAttributes().sdabHash + "|alice@example.com"));
  EXPECT_EQ(first, expected);
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
  using Expected = std::tuple<std::string, long, std::string>;
  EXPECT_EQ(failure([] { FingerprintGenerator::generateFingerprint(""); }),
            Expected("FingerprintError", 2, "UserID cannot be empty for fingerprint generation."));

  auto device = platform::currentDevice();
  device.identifierForVendor.reset();
  platform::setCurrentDevice(device);
  EXPECT_EQ(failure([] { FingerprintGenerator::generateFingerprint("carol"); }),
            Expected("FingerprintError", 1, "Could not retrieve identifierForVendor (OSDI)."));
  EXPECT_FALSE(std::filesystem::exists(SecureEnclaveHelper::secretFilePath("carol")));
  device.identifierForVendor = "ABC";
  platform::setCurrentDevice(device);

  // A host without a bundle identifier is fingerprinted as the library's own application.
  const std::pair<std::optional<std::string>, Expected> bundles[] = {
      {std::nullopt, {"none", 0, ""}}, {"", {"none", 0, ""}}, {"com.\xFF", {"FingerprintError", 4, ""}}};
  for (const auto& [identifier, expected] : bundles) {
    platform::BundleInfo bundle = savedBundle_;
    bundle.identifier = identifier;
    platform::setMainBundle(bundle);
    auto [domain, code, text] = failure([] { FingerprintGenerator::generateFingerprint("carol"); });
    EXPECT_EQ(domain, std::get<0>(expected));
    EXPECT_EQ(code, std::get<1>(expected)) << identifier.value_or("(none)");
    if (!std::get<2>(expected).empty()) {
      EXPECT_EQ(text, std::get<2>(expected));
    }
    if (domain == "none") {
      EXPECT_EQ(FingerprintGenerator::generateSdabAttributes().appBundleId, "com.velqo.sdk");
    }
  }
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

  const std::pair<const char*, const char*> versions[] = {{"17", "17"}, {"1.2.3.4", "1.2"}, {"17..2", "17."}};
  for (const auto& [full, cut] : versions) {
    setVersion(full);
    EXPECT_EQ(FingerprintGenerator::generateSdabAttributes().osVersion, cut) << full;
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
      {"", "", "", {"", "", ""}},
      {"UA", "iOS", O(), {"iOS Device", "iOS", "ios_v5_legacy"}},
      {O(), "iOS", "v9", {"iOS Device", "iOS", "v9"}},
      {"UA", O(), "v9", current},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(V5EnvironmentInfo::fromStored(row.userAgent, row.osType, row.version), row.expected)
        << row.userAgent.value_or("-") << "/" << row.osType.value_or("-") << "/" << row.version.value_or("-");
  }
}

TEST_F(IdentityTest, FirstCreationInADirectoryRemovesWhatDeadWritersLeft) {
  settings_.setApplicationDataDirectory(testing::makeTempDirectory("leftovers"));
  const auto other = SecureEnclaveHelper::secretFilePath("bob");
  const auto leftover = other.parent_path() / ("." + other.filename().string() + ".tmp-Ab12Cd");
  const auto foreign = other.parent_path() / ".unrelated.tmp-Ab12Cd";
  ASSERT_TRUE(platform::files::writeAtomically(leftover, Bytes(32, 7)));
  ASSERT_TRUE(platform::files::writeAtomically(foreign, Bytes(32, 7)));
  (void)SecureEnclaveHelper::deviceSecretHash("alice");
  EXPECT_FALSE(std::filesystem::exists(leftover));
  EXPECT_TRUE(std::filesystem::exists(foreign));
}

TEST(SharedDataDirectoryTest, ProcessesStartingTogetherShareOneSecretAndKeepEachOthersDefaults) {
  const auto defaults = testing::makeTempDirectory("defaults") / "defaults.json";
  for (int round = 0; round < 8; ++round) {
    const std::string user = "user-" + std::to_string(round);
    int start[2], out[2];
    ASSERT_TRUE(::pipe(start) == 0 && ::pipe(out) == 0);
    for (int i = 0; i < 4; ++i) {
      if (::fork() != 0) continue;
      ::close(start[1]);
      while (::read(start[0], &start[1], 1) > 0) {
      }  // all start when the parent closes its end
      const std::string line = SecureEnclaveHelper::deviceSecretHash(user) + "\n";
      const auto mine = platform::UserDefaults::open(defaults);
      for (int k = 0; k < 5; ++k) mine->setString(user + std::to_string(k) + std::to_string(i), "v");
      ::_exit(::write(out[1], line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0 : 1);
    }
    ::close(start[0]), ::close(start[1]), ::close(out[1]);
    std::string lines;  // one write per child, so lines never mix
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) lines.append(buffer, n);
    ::close(out[0]);
    while (::wait(nullptr) > 0) {
    }
    const std::string mine = SecureEnclaveHelper::deviceSecretHash(user) + "\n";
    EXPECT_EQ(lines, mine + mine + mine + mine) << "one secret for " << user;
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(platform::UserDefaults::open(defaults)->string(user + "4" + std::to_string(i)), "v");
  }
}

}  // namespace
}  // namespace velqo
