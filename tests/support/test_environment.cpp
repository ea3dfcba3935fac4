#include "support/test_environment.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

#include "velqo/platform/environment.hpp"

namespace velqo::testing {
namespace {

std::filesystem::path& dataDirSlot() {
  static std::filesystem::path dir;
  return dir;
}

struct Cleanup {
  ~Cleanup() {
    if (!dataDirSlot().empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dataDirSlot(), ec);
    }
  }
};

}  // namespace

void installTestEnvironment() {
  static Cleanup cleanup;
  std::string pattern = (std::filesystem::temp_directory_path() / "velqo-test-XXXXXX").string();
  if (char* made = ::mkdtemp(pattern.data())) {
    dataDirSlot() = made;
  } else {
    std::abort();
  }
  platform::setApplicationDataDirectory(dataDirSlot());
  platform::BundleInfo bundle;
  bundle.identifier = "com.velqo.tests";
  bundle.info = {
      {"CFBundleShortVersionString", "1.2.3"}, {"CFBundleVersion", "45"}, {"CFBundleName", "VelqoTests"}};
  platform::setMainBundle(bundle);
}

const std::filesystem::path& testDataDirectory() {
  return dataDirSlot();
}

std::filesystem::path makeTempDirectory(const char* prefix) {
  static std::atomic<int> counter{0};
  auto dir = dataDirSlot() / (std::string(prefix) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(dir);
  return dir;
}

nlohmann::json readJsonFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  auto value = nlohmann::json::parse(in, nullptr, false);
  EXPECT_FALSE(value.is_discarded()) << "cannot read " << path;
  return value.is_discarded() ? nlohmann::json() : value;
}

}  // namespace velqo::testing
