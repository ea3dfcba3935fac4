#include "velqo/platform/environment.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <regex>

#include "platform/files.hpp"
#include "support/test_environment.hpp"

namespace velqo::platform {
namespace {

namespace fs = std::filesystem;

unsigned modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

TEST(EnvironmentTest, DeviceDefaultsComeFromThisMachine) {
  DeviceInfo d = currentDevice();
  EXPECT_FALSE(d.systemName.empty());
  EXPECT_FALSE(d.systemVersion.empty());
  EXPECT_NE(d.model.find(machineName()), std::string::npos);
  EXPECT_FALSE(d.name.empty());
  EXPECT_FALSE(d.locale.empty());
  EXPECT_EQ(d.locale.find('.'), std::string::npos);  // no code set
  ASSERT_FALSE(d.preferredLanguages.empty());
  EXPECT_EQ(d.preferredLanguages[0].find('_'), std::string::npos);
  EXPECT_FALSE(d.timeZone.empty());
  EXPECT_FALSE(machineName().empty());
}

TEST(EnvironmentTest, VendorIdentifierIsAStableUpperCaseUuidKeptOnDisk) {
  auto id = currentDevice().identifierForVendor;
  ASSERT_TRUE(id);
  EXPECT_TRUE(std::regex_match(
      *id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << *id;
  EXPECT_EQ(currentDevice().identifierForVendor, id);
  auto file = applicationDataDirectory() / "vendor-identifier";
  EXPECT_EQ(textOf(files::read(file).value()), *id);
  EXPECT_EQ(modeOf(file), 0600u);

  // Another data directory has its own identifier; going back finds the first again.
  auto original = applicationDataDirectory();
  auto other = testing::makeTempDirectory("vendor");
  setApplicationDataDirectory(other);
  auto otherId = currentDevice().identifierForVendor;
  setApplicationDataDirectory(original);
  ASSERT_TRUE(otherId);
  EXPECT_NE(*otherId, *id);
  EXPECT_EQ(currentDevice().identifierForVendor, id);

  // A damaged file is replaced by a new identifier.
  auto damaged = testing::makeTempDirectory("vendor");
  ASSERT_TRUE(files::writeAtomically(damaged / "vendor-identifier", bytesOf("not-a-uuid")));
  setApplicationDataDirectory(damaged);
  auto replaced = currentDevice().identifierForVendor;
  setApplicationDataDirectory(original);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(textOf(files::read(damaged / "vendor-identifier").value()), *replaced);
}

TEST(EnvironmentTest, SetCurrentDeviceOverridesEverything) {
  DeviceInfo original = currentDevice();
  DeviceInfo custom = original;
  custom.systemName = "TestOS";
  custom.identifierForVendor.reset();
  custom.preferredLanguages = {"de-DE", "en"};
  setCurrentDevice(custom);
  DeviceInfo seen = currentDevice();
  setCurrentDevice(original);
  EXPECT_EQ(seen.systemName, "TestOS");
  EXPECT_FALSE(seen.identifierForVendor);
  EXPECT_EQ(seen.preferredLanguages, (std::vector<std::string>{"de-DE", "en"}));
  EXPECT_EQ(currentDevice().identifierForVendor, original.identifierForVendor);
}

TEST(EnvironmentTest, DefaultDataDirectoryFollowsXdgAndKeepsTheBundleIdInOneComponent) {
  auto original = applicationDataDirectory();
  BundleInfo savedBundle = mainBundle();
  const char* savedXdg = std::getenv("XDG_DATA_HOME");
  std::string xdgBackup = savedXdg ? savedXdg : "";
  auto xdg = testing::makeTempDirectory("xdg");
  ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
  setApplicationDataDirectory({});

  struct Case {
    std::optional<std::string> identifier;
    std::string directory;
  };
  const Case cases[] = {{"com.example.app", "com.example.app"},
                        {"", "velqo"},
                        {"..", "velqo"},
                        {"../../escape", ".._.._escape"},
                        {std::nullopt, "velqo"}};
  for (const auto& c : cases) {
    BundleInfo b;
    b.identifier = c.identifier;
    setMainBundle(b);
    auto dir = applicationDataDirectory();
    EXPECT_EQ(dir, xdg / c.directory) << c.directory;
    EXPECT_EQ(modeOf(dir), 0700u) << c.directory;
  }
  EXPECT_EQ(applicationSupportDirectory(), xdg / "velqo" / "Application Support");
  EXPECT_EQ(modeOf(xdg / "velqo" / "Application Support"), 0700u);

  if (savedXdg) {
    ::setenv("XDG_DATA_HOME", xdgBackup.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
  setMainBundle(savedBundle);
  setApplicationDataDirectory(original);
}

}  // namespace
}  // namespace velqo::platform
