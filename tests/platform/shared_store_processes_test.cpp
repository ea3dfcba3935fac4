// Several processes on one data directory: the file-backed stores take turns at their
// read-modify-write steps, so nobody's values or items are lost.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/child_processes.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/user_defaults.hpp"

namespace velqo::platform {
namespace {

constexpr int kProcesses = 6;

TEST(SharedStoreProcesses, ProcessesWritingOneDefaultsFileKeepEachOthersValues) {
  const auto file = testing::makeTempDirectory("defaults") / "defaults.json";
  const auto stale = file.parent_path() / ".defaults.json.tmp-Ab12Cd";  // a dead writer's
  std::ofstream(stale) << "{}";
  const auto done = testing::runInChildProcesses(kProcesses, [&](int i) {
    auto defaults = UserDefaults::open(file);
    for (int k = 0; k < 10; ++k) defaults->setString("p" + std::to_string(i) + "-" + std::to_string(k), "v");
    defaults->remove("p" + std::to_string(i) + "-0");
    return std::string("done");
  });
  for (const auto& d : done) ASSERT_EQ(d, "done");
  EXPECT_FALSE(std::filesystem::exists(stale));
  auto reopened = UserDefaults::open(file);
  for (int i = 0; i < kProcesses; ++i) {
    EXPECT_EQ(reopened->string("p" + std::to_string(i) + "-0"), std::nullopt);
    for (int k = 1; k < 10; ++k) {
      EXPECT_EQ(reopened->string("p" + std::to_string(i) + "-" + std::to_string(k)), "v") << i << "-" << k;
    }
  }
}

TEST(SharedStoreProcesses, ProcessesSharingAnItemStoreNeitherLoseNorDoubleItems) {
  const auto dir = testing::makeTempDirectory("items");
  const auto results = testing::runInChildProcesses(kProcesses, [&](int i) {
    auto store = makeFileItemStore(dir);
    const std::string mine = "process-" + std::to_string(i);
    std::string outcome;
    for (int k = 0; k < 20; ++k) {
      if (store->replaceGenericPassword("svc", "shared", bytesOf(mine), Accessibility::whenUnlocked) != 0)
        return std::string("replace failed");
      if (store->addGenericPassword("svc", mine + "-" + std::to_string(k), bytesOf(mine),
                                    Accessibility::whenUnlocked) != 0)
        return std::string("add failed");
    }
    KeyItem key{bytesOf("one-key"),          KeyType::ecPrimeRandom, 256, KeyToken::software, true,
                Accessibility::whenUnlocked, bytesOf(mine)};
    return std::string(store->addKey(key) == status::success ? "created" : "found");
  });
  int created = 0;
  for (const auto& r : results) {
    ASSERT_TRUE(r == "created" || r == "found") << r.value_or("died");
    created += *r == "created" ? 1 : 0;
  }
  EXPECT_EQ(created, 1) << "exactly one process creates the key";

  auto store = makeFileItemStore(dir);
  Bytes out;
  ASSERT_EQ(store->copyGenericPassword("svc", "shared", out), status::success);
  EXPECT_EQ(textOf(out).rfind("process-", 0), 0u);
  for (int i = 0; i < kProcesses; ++i) {
    for (int k = 0; k < 20; ++k) {
      const std::string mine = "process-" + std::to_string(i);
      EXPECT_EQ(store->copyGenericPassword("svc", mine + "-" + std::to_string(k), out), status::success);
    }
  }
}

}  // namespace
}  // namespace velqo::platform
