#include "velqo/core/debug_sink.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "support/test_environment.hpp"
#include "velqo/platform/user_defaults.hpp"

namespace velqo {
namespace {

// Lines composed below the core layer (the user defaults' own) reach the host's sink too, and
// stop when the sink is removed.
TEST(DebugSinkTest, LinesOfThePlatformLayerReachTheInstalledSink) {
  std::mutex mutex;
  std::vector<std::string> lines;
  setDebugSink([&](std::string_view line) {
    std::lock_guard lock(mutex);
    lines.emplace_back(line);
  });
  const auto dir = testing::makeTempDirectory("sink");
  std::ofstream(dir / "a.json") << "{\"truncated";
  EXPECT_EQ(platform::UserDefaults::open(dir / "a.json")->string("truncated"), std::nullopt);
  setDebugSink({});
  std::ofstream(dir / "b.json") << "{\"truncated";
  EXPECT_EQ(platform::UserDefaults::open(dir / "b.json")->string("truncated"), std::nullopt);

  std::lock_guard lock(mutex);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[UserDefaults] " + (dir / "a.json").string(), 0), 0u) << lines[0];
}

}  // namespace
}  // namespace velqo
