#pragma once

#include <filesystem>

namespace velqo::testing {

/// Points the application data directory at a fresh temporary directory (removed at exit)
/// and gives the process a fixed test bundle. Called once by every test main.
void installTestEnvironment();

/// The temporary application data directory of this test process.
const std::filesystem::path& testDataDirectory();

/// A fresh empty directory under the test data directory.
std::filesystem::path makeTempDirectory(const char* prefix);

}  // namespace velqo::testing
