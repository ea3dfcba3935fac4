#include "support/test_environment.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>

#include "velqo/platform/environment.hpp"

namespace velqo::testing {
namespace {

// The environment of this process, set while a TestEnvironment lives (in main).
std::atomic<const TestEnvironment*> current{nullptr};

}  // namespace

TestEnvironment::TestEnvironment() : directory_("velqo-test") {
  settings_.setApplicationDataDirectory(directory_.path());
  platform::BundleInfo bundle;
  bundle.identifier = "com.velqo.tests";
  bundle.info = {
      {"CFBundleShortVersionString", "1.2.3"}, {"CFBundleVersion", "45"}, {"CFBundleName", "VelqoTests"}};
  settings_.setMainBundle(bundle);
  current = this;
}

TestEnvironment::~TestEnvironment() {
  current = nullptr;
}

const std::filesystem::path& testDataDirectory() {
  const TestEnvironment* environment = current;
  if (environment == nullptr) std::abort();
  return environment->dataDirectory();
}

std::filesystem::path makeTempDirectory(const char* prefix) {
  static std::atomic<int> counter{0};
  auto dir = testDataDirectory() / (std::string(prefix) + "-" + std::to_string(counter++));
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
