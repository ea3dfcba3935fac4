#include "velqo/platform/environment.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string_view>
#include <vector>

#include "platform/diagnostics.hpp"
#include "platform/files.hpp"
#include "platform/platform_test_support.hpp"
#include "support/scoped_platform_settings.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/user_defaults.hpp"

namespace velqo::platform {
namespace {

namespace fs = std::filesystem;
using testing::makeTempDirectory;
using testing::modeOf;

std::string fileText(const fs::path& file) {
  return textOf(files::read(file).value());
}

// The vendor identifier of a data directory (the current one when empty).
std::optional<std::string> vendorIdIn(const fs::path& dir) {
  testing::ScopedPlatformSettings settings;
  settings.setApplicationDataDirectory(dir);
  return currentDevice().identifierForVendor;
}

TEST(EnvironmentTest, DeviceDefaultsComeFromThisMachineWithAStableVendorIdentifierOnDisk) {
  const DeviceInfo d = currentDevice();
  for (const auto& value : {d.systemName, d.systemVersion, d.name, d.locale, d.timeZone})
    EXPECT_FALSE(value.empty());
  EXPECT_NE(d.model.find(machineName()), std::string::npos);
  EXPECT_EQ(d.locale.find('.'), std::string::npos);  // no code set
  ASSERT_FALSE(d.preferredLanguages.empty());
  EXPECT_EQ(d.preferredLanguages[0].find('_'), std::string::npos);

  const auto id = d.identifierForVendor;
  ASSERT_TRUE(id);
  EXPECT_TRUE(std::regex_match(
      *id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
  EXPECT_EQ(currentDevice().identifierForVendor, id);
  EXPECT_EQ(fileText(applicationDataDirectory() / "vendor-identifier"), *id);
  EXPECT_EQ(modeOf(applicationDataDirectory() / "vendor-identifier"), 0600u);
  // Another directory with a damaged file gets a new identifier; going back finds the first.
  const auto damaged = makeTempDirectory("vendor");
  ASSERT_TRUE(files::writeAtomically(damaged / "vendor-identifier", bytesOf("not-a-uuid")));
  const auto replaced = vendorIdIn(damaged);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(fileText(damaged / "vendor-identifier"), *replaced);
  EXPECT_NE(*replaced, *id);
  EXPECT_EQ(currentDevice().identifierForVendor, id) << "back in the first directory";
}

TEST(EnvironmentTest, DefaultDataDirectoryFollowsXdgAndKeepsTheBundleIdInOneComponent) {
  testing::ScopedPlatformSettings settings;
  const char* savedXdg = std::getenv("XDG_DATA_HOME");
  const std::string xdgBackup = savedXdg ? savedXdg : "";
  const auto xdg = makeTempDirectory("xdg");
  ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
  settings.setApplicationDataDirectory({});
  const std::pair<std::optional<std::string>, std::string> cases[] = {{"com.example.app", "com.example.app"},
                                                                      {"..", "velqo"},
                                                                      {"../../escape", ".._.._escape"},
                                                                      {std::nullopt, "velqo"}};
  for (const auto& [identifier, directory] : cases) {
    settings.setMainBundle({identifier, {}});
    EXPECT_EQ(applicationDataDirectory(), xdg / directory);
    EXPECT_EQ(modeOf(xdg / directory), 0700u) << directory;
  }
  EXPECT_EQ(applicationSupportDirectory(), xdg / "velqo" / "Application Support");
  EXPECT_EQ(modeOf(xdg / "velqo" / "Application Support"), 0700u);
  savedXdg ? ::setenv("XDG_DATA_HOME", xdgBackup.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
}

TEST(UserDefaultsTest, ValuesPersistWithTheirKindsAsHostReadableJson) {
  const auto file = makeTempDirectory("defaults") / "sub" / "defaults.json";
  {
    auto d = UserDefaults::open(file);
    d->setString("text", "héllo");
    d->setData("bytes", Bytes{0, 1, 2, 255});
    d->setNumber("number", 12.5);
    d->setNumber("infinite", -std::numeric_limits<double>::infinity());
    d->setNumber("nan", std::nan(""));
    d->setString("gone", "x");
    d->remove("gone");
    EXPECT_EQ(d->string("text"), "héllo");
  }
  EXPECT_EQ(modeOf(file), 0600u);
  auto d = UserDefaults::open(file);
  EXPECT_EQ(d->string("text"), "héllo");
  EXPECT_EQ(d->data("bytes"), (Bytes{0, 1, 2, 255}));
  EXPECT_EQ(d->number("number"), 12.5);
  EXPECT_EQ(d->number("infinite"), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(d->number("nan").value_or(0)));
  EXPECT_EQ(d->string("gone"), std::nullopt);
  // Asking for another kind gives nothing; base64-looking text is still text.
  d->setString("b64", "aGVsbG8=");
  for (const char* key : {"bytes", "number"}) EXPECT_EQ(d->string(key), std::nullopt) << key;
  for (const char* key : {"b64", "number"}) EXPECT_EQ(d->data(key), std::nullopt) << key;
  for (const char* key : {"b64", "bytes", "missing"}) EXPECT_EQ(d->number(key), std::nullopt) << key;

  const auto json = nlohmann::json::parse(fileText(file));
  EXPECT_EQ(json.at("text"), "héllo");
  EXPECT_EQ(json.at("number"), 12.5);
  EXPECT_FALSE(json.contains("gone"));
  d->setNumber("text", 3);  // overwriting changes the kind
  EXPECT_EQ(UserDefaults::open(file)->number("text"), 3.0);
  EXPECT_EQ(UserDefaults::open(file)->string("text"), std::nullopt);
}

TEST(UserDefaultsTest, HostWrittenFilesAreReadForeignKeysKeptAndBrokenFilesStartEmpty) {
  const auto file = makeTempDirectory("host") / "d.json";
  std::ofstream(file) << R"({"hostKey": {"nested": [1, 2]}, "count": 7, "name": "x",
                             "fakeData": {"type": "data", "value": "not base64!"}})";
  auto d = UserDefaults::open(file);
  EXPECT_EQ(d->number("count"), 7.0);
  EXPECT_EQ(d->string("name"), "x");
  EXPECT_EQ(d->data("fakeData"), std::nullopt);
  d->setString("mine", "y");
  const auto json = nlohmann::json::parse(fileText(file));
  EXPECT_EQ(json.at("hostKey").at("nested"), nlohmann::json::array({1, 2}));
  EXPECT_EQ(json.at("mine"), "y");

  const auto broken = makeTempDirectory("broken") / "d.json";
  std::ofstream(broken) << "[1, 2";
  UserDefaults::open(broken)->setString("k", "v");
  EXPECT_EQ(UserDefaults::open(broken)->string("k"), "v");
}

// The platform's diagnostic lines while a test runs.
std::mutex diagnosticsMutex;
std::vector<std::string> diagnostics;

void recordDiagnostic(std::string_view line) {
  std::lock_guard lock(diagnosticsMutex);
  diagnostics.emplace_back(line);
}

// The files of `dir` whose names start with `prefix`, sorted.
std::vector<fs::path> filesStartingWith(const fs::path& dir, const std::string& prefix) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

TEST(UserDefaultsTest, AnUnreadableFileIsMovedAsideBeforeAnythingOverwritesIt) {
  detail::setDiagnosticHandler(&recordDiagnostic);
  diagnostics.clear();
  const auto dir = makeTempDirectory("unreadable");
  const auto file = dir / "defaults.json";
  const std::string first = R"({"web_token": "kept", "sessionDeta)";
  std::ofstream(file) << first;

  // Reading starts empty, with the truncated file moved aside whole.
  auto d = UserDefaults::open(file);
  EXPECT_EQ(d->string("web_token"), std::nullopt);
  auto aside = filesStartingWith(dir, "defaults.json.unreadable-");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(fileText(aside[0]), first);
  d->setString("new", "v");
  EXPECT_EQ(UserDefaults::open(file)->string("new"), "v");
  EXPECT_EQ(fileText(aside[0]), first);

  // A second broken file, found by a write, goes beside the first without replacing it.
  const std::string second = "{\"a\": 1,";
  std::ofstream(file, std::ios::trunc) << second;
  auto other = UserDefaults::open(file);
  other->setString("after", "w");
  EXPECT_EQ(other->string("new"), std::nullopt);
  aside = filesStartingWith(dir, "defaults.json.unreadable-");
  ASSERT_EQ(aside.size(), 2u);
  std::set<std::string> contents{fileText(aside[0]), fileText(aside[1])};
  EXPECT_EQ(contents, (std::set<std::string>{first, second}));
  EXPECT_EQ(UserDefaults::open(file)->string("after"), "w");

  detail::setDiagnosticHandler(nullptr);
  std::lock_guard lock(diagnosticsMutex);
  ASSERT_EQ(diagnostics.size(), 2u);
  for (std::size_t i = 0; i < diagnostics.size(); ++i) {
    EXPECT_EQ(diagnostics[i].rfind("[UserDefaults] ", 0), 0u) << diagnostics[i];
    EXPECT_NE(diagnostics[i].find("moved it to " + dir.string() + "/defaults.json.unreadable-"),
              std::string::npos)
        << diagnostics[i];
    EXPECT_EQ(diagnostics[i].find("kept"), std::string::npos) << "no contents in the line";
  }
}

TEST(UserDefaultsTest, StandardLivesInTheDataDirectoryAndCanBeReplaced) {
  UserDefaults::setStandard(nullptr);
  UserDefaults::standard()->setString("standard-test", "v");
  EXPECT_EQ(nlohmann::json::parse(fileText(applicationDataDirectory() / "defaults.json")).at("standard-test"),
            "v");
  auto other = UserDefaults::open(makeTempDirectory("other") / "d.json");
  UserDefaults::setStandard(other);
  EXPECT_EQ(UserDefaults::standard(), other);
  UserDefaults::setStandard(nullptr);
  EXPECT_EQ(UserDefaults::standard()->string("standard-test"), "v");
  UserDefaults::standard()->remove("standard-test");
}

}  // namespace
}  // namespace velqo::platform
