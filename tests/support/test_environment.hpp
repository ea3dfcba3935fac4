#pragma once

#include <filesystem>

#include <nlohmann/json.hpp>

#include "support/scoped_platform_settings.hpp"
#include "support/scoped_temp_directory.hpp"

namespace velqo::testing {

/// Points the application data directory at a fresh temporary directory and gives the process a
/// fixed test bundle. Every test main keeps one for the whole run; its destruction puts the bundle
/// back and removes the directory it made, and nothing else (the data directory stays set to it,
/// never to the default in the home of whoever runs the tests).
class TestEnvironment {
 public:
  TestEnvironment();
  ~TestEnvironment();
  TestEnvironment(const TestEnvironment&) = delete;
  TestEnvironment& operator=(const TestEnvironment&) = delete;

  const std::filesystem::path& dataDirectory() const { return directory_.path(); }

 private:
  ScopedTempDirectory directory_;
  ScopedPlatformSettings settings_;  // after the directory: ends first
};

/// The temporary application data directory of this test process (while its TestEnvironment lives).
const std::filesystem::path& testDataDirectory();

/// A fresh empty directory under the test data directory.
std::filesystem::path makeTempDirectory(const char* prefix);

/// The JSON document in a test data file (fails the test, returning null, when unreadable).
nlohmann::json readJsonFile(const std::filesystem::path& path);

}  // namespace velqo::testing
