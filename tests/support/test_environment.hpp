#pragma once

#include <filesystem>

#include <nlohmann/json.hpp>

namespace velqo::testing {

/// Points the application data directory at a fresh temporary directory (removed at exit)
/// and gives the process a fixed test bundle. Called once by every test main.
void installTestEnvironment();

/// The temporary application data directory of this test process.
const std::filesystem::path& testDataDirectory();

/// A fresh empty directory under the test data directory.
std::filesystem::path makeTempDirectory(const char* prefix);

/// The JSON document in a test data file (fails the test, returning null, when unreadable).
nlohmann::json readJsonFile(const std::filesystem::path& path);

}  // namespace velqo::testing
