#include "core/storage/keychain_manager.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/faulty_item_store.hpp"
#include "support/scoped_platform_settings.hpp"
#include "support/test_environment.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/platform/item_store.hpp"

namespace velqo {
namespace {

using testing::FaultyItemStore;
using Op = FaultyItemStore::Operation;

class KeychainManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = FaultyItemStore::create();
    settings_.setItemStore(store_);
    setDebugSink([this](std::string_view line) { lines_.emplace_back(line); });
  }
  void TearDown() override { setDebugSink({}); }
  std::optional<std::string> item(const std::string& account) {
    Bytes out;
    if (store_->copyGenericPassword(KeychainManager::serviceName(), account, out) != 0) return std::nullopt;
    return textOf(out);
  }

  testing::ScopedPlatformSettings settings_;
  std::shared_ptr<FaultyItemStore> store_;
  std::vector<std::string> lines_;
};

TEST_F(KeychainManagerTest, ServiceNameFollowsTheBundleIdentifier) {
  EXPECT_EQ(KeychainManager::serviceName(), "com.velqo.tests");
  for (std::optional<std::string> identifier :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    platform::BundleInfo bundle;
    bundle.identifier = identifier;
    platform::setMainBundle(bundle);
    EXPECT_EQ(KeychainManager::serviceName(), "com.velqo.sdk");
  }
}

TEST_F(KeychainManagerTest, SaveReplacesKeepsOldDataOnFailureAndReadsFailQuietly) {
  EXPECT_TRUE(KeychainManager::save(bytesOf("one"), "svc", "acct"));
  EXPECT_TRUE(KeychainManager::save(bytesOf("two"), "svc", "acct"));  // replaced in one step
  EXPECT_EQ(KeychainManager::getData("svc", "acct"), bytesOf("two"));
  EXPECT_EQ(store_->itemCount(), 1u);

  store_->failNext(Op::add, platform::status::notAvailable);
  EXPECT_FALSE(KeychainManager::save(bytesOf("three"), "svc", "acct"));
  // A failed add keeps what was stored before.
  EXPECT_EQ(KeychainManager::getData("svc", "acct"), bytesOf("two"));

  store_->failNext(Op::copy, platform::status::notAvailable);
  EXPECT_EQ(KeychainManager::getData("svc", "acct"), std::nullopt);
  EXPECT_EQ(KeychainManager::getData("other-svc", "acct"), std::nullopt);
}

TEST_F(KeychainManagerTest, FailuresOnlyComposeLines) {
  ASSERT_TRUE(KeychainManager::save(bytesOf("old"), "svc", "acct"));
  lines_.clear();
  store_->failNext(Op::replace, platform::status::notAvailable);
  EXPECT_FALSE(KeychainManager::save(bytesOf("new"), "svc", "acct"));
  EXPECT_EQ(KeychainManager::getData("svc", "acct"), bytesOf("old"));
  ASSERT_FALSE(lines_.empty());
  EXPECT_EQ(lines_.front().rfind("[KeychainManager] ", 0), 0u);
  EXPECT_NE(lines_.front().find("-25291"), std::string::npos);
  for (const auto& line : lines_) EXPECT_EQ(line.find("acct"), std::string::npos) << line;

  lines_.clear();
  EXPECT_TRUE(KeychainManager::save(bytesOf("first"), "svc", "new-acct"));
  EXPECT_TRUE(lines_.empty());

  KeychainManager::deleteItem("svc", "missing");
  EXPECT_EQ(lines_.size(), 1u);
  KeychainManager::deleteItem("svc", "acct");
  EXPECT_EQ(KeychainManager::getData("svc", "acct"), std::nullopt);
}

TEST_F(KeychainManagerTest, TokenItemsAreKeptPerUserAndReadOnlyAsUtf8) {
  EXPECT_TRUE(KeychainManager::saveJWTAccessToken("access-a", "alice"));
  EXPECT_TRUE(KeychainManager::saveJWTRefreshToken("refresh-a", "alice"));
  EXPECT_TRUE(KeychainManager::saveJWTAccessToken("access-b", "bob"));
  EXPECT_TRUE(KeychainManager::saveV4PersistentDeviceToken("device-a", "alice"));
  EXPECT_TRUE(KeychainManager::save(bytesOf("v3"), KeychainManager::serviceName(), "alice_tokenId_v3"));
  EXPECT_EQ(item("alice_jwtAccessToken"), "access-a");
  EXPECT_EQ(item("alice_jwtRefreshToken"), "refresh-a");
  EXPECT_EQ(item("alice_persistentDeviceToken_v4"), "device-a");
  EXPECT_EQ(KeychainManager::getJWTAccessToken("bob"), "access-b");
  EXPECT_EQ(KeychainManager::getV4PersistentDeviceToken("alice"), "device-a");
  EXPECT_EQ(KeychainManager::getV4PersistentDeviceToken("bob"), std::nullopt);

  KeychainManager::deleteJWTTokens("alice");
  KeychainManager::deleteV3TokenId("alice");
  KeychainManager::deleteV4PersistentDeviceToken("alice");
  EXPECT_EQ(store_->itemCount(), 1u);
  EXPECT_EQ(KeychainManager::getJWTAccessToken("bob"), "access-b");

  const std::pair<Bytes, bool> texts[] = {
      {bytesOf("caf\xC3\xA9 \xF0\x9F\x94\x91"), true},
      {Bytes{0xC3}, false},              // truncated sequence
      {Bytes{0xC0, 0xAF}, false},        // overlong
      {Bytes{0xED, 0xA0, 0x80}, false},  // surrogate
      {Bytes{0xF4, 0x90, 0x80, 0x80}, false},
      {Bytes{'a', 0xFF}, false},
  };
  for (const auto& [data, valid] : texts) {
    ASSERT_TRUE(KeychainManager::save(data, KeychainManager::serviceName(), "u_persistentDeviceToken_v4"));
    EXPECT_EQ(KeychainManager::getV4PersistentDeviceToken("u").has_value(), valid) << textOf(data);
  }
}

// Generation n of the item: its number and 8 KiB that depend on it, so a torn item shows.
std::string generation(unsigned long n) {
  return std::to_string(n) + ":" + std::string(8192, 'a' + n % 26);
}

TEST(KeychainCrash, ReplacingProcessKilledAtRandomMomentsNeverLosesOrTearsTheItem) {
  const auto dir = testing::makeTempDirectory("crash");
  const auto temporaries = [&dir] {
    return std::count_if(std::filesystem::directory_iterator(dir), {},
                         [](const auto& e) { return e.path().string().find(".tmp-") != std::string::npos; });
  };
  testing::ScopedPlatformSettings settings;
  settings.setItemStore(platform::makeFileItemStore(dir));
  ASSERT_TRUE(KeychainManager::save(bytesOf(generation(0)), "svc", "item"));
  std::mt19937 random(7);
  int leftBehind = 0;
  for (unsigned long round = 1; round <= 40; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    for (unsigned long n = round << 20; child == 0; ++n) {  // the child replaces until killed
      (void)KeychainManager::save(bytesOf(generation(n)), "svc", "item");
      if (n == round << 20) (void)!::write(ready[1], "r", 1);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);  // it has saved once
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    leftBehind += temporaries() > 0;
    settings.setItemStore(platform::makeFileItemStore(dir));  // the next start
    const std::string stored = textOf(KeychainManager::getData("svc", "item").value_or(Bytes{}));
    ASSERT_EQ(stored, generation(std::stoul("0" + stored))) << "round " << round;
    EXPECT_EQ(temporaries(), 0) << "round " << round;
  }
  std::cout << "[ crashes  ] 40 kills, " << leftBehind << " left a temporary file; no item lost or torn\n";
}

}  // namespace
}  // namespace velqo
