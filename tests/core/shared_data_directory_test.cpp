// A process killed while it replaces an item, and processes starting together on one data
// directory.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "core/identity/secure_enclave_helper.hpp"
#include "core/storage/keychain_manager.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/user_defaults.hpp"

namespace velqo {
namespace {

// Generation n of the item: its number and 8 KiB that depend on it, so a torn item shows.
std::string generation(unsigned long n) {
  return std::to_string(n) + ":" + std::string(8192, 'a' + n % 26);
}

TEST(SharedDataDirectory, ReplacingProcessKilledAtRandomMomentsNeverLosesOrTearsTheItem) {
  const auto dir = testing::makeTempDirectory("crash");
  const auto temporaries = [&dir] {
    return std::count_if(std::filesystem::directory_iterator(dir), {},
                         [](const auto& e) { return e.path().string().find(".tmp-") != std::string::npos; });
  };
  platform::setItemStore(platform::makeFileItemStore(dir));
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
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);  // it has saved once
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]), ::close(ready[1]);
    leftBehind += temporaries() > 0;
    platform::setItemStore(platform::makeFileItemStore(dir));  // the next start
    const std::string stored = textOf(KeychainManager::getData("svc", "item").value_or(Bytes{}));
    ASSERT_EQ(stored, generation(std::stoul("0" + stored))) << "round " << round;
    EXPECT_EQ(temporaries(), 0) << "round " << round;
  }
  platform::setItemStore(nullptr);
  std::cout << "[ crashes  ] 40 kills, " << leftBehind << " left a temporary file; no item lost or torn\n";
}

TEST(SharedDataDirectory, ProcessesStartingTogetherShareOneSecretAndKeepEachOthersDefaults) {
  const auto defaults = testing::makeTempDirectory("defaults") / "defaults.json";
  for (int round = 0; round < 8; ++round) {
    const std::string user = "user-" + std::to_string(round);
    int start[2], out[2];
    ASSERT_TRUE(::pipe(start) == 0 && ::pipe(out) == 0);
    for (int i = 0; i < 4; ++i) {
      if (::fork() != 0) continue;
      ::close(start[1]);
      while (::read(start[0], &start[1], 1) > 0) {
      }  // all start when the parent closes its end
      const std::string line = SecureEnclaveHelper::deviceSecretHash(user) + "\n";
      const auto mine = platform::UserDefaults::open(defaults);
      for (int k = 0; k < 5; ++k) mine->setString(user + std::to_string(k) + std::to_string(i), "v");
      ::_exit(::write(out[1], line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0 : 1);
    }
    ::close(start[0]), ::close(start[1]), ::close(out[1]);
    std::string lines;  // one write per child, so lines never mix
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) lines.append(buffer, n);
    ::close(out[0]);
    while (::wait(nullptr) > 0) {
    }
    const std::string mine = SecureEnclaveHelper::deviceSecretHash(user) + "\n";
    EXPECT_EQ(lines, mine + mine + mine + mine) << "one secret for " << user;
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(platform::UserDefaults::open(defaults)->string(user + "4" + std::to_string(i)), "v");
  }
}

}  // namespace
}  // namespace velqo
