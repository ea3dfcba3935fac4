// What survives a crash and what several processes sharing one data directory end with:
// stored items are replaced in one step, temporary files of dead writers go, and the
// per-user device secret is one secret however many processes create it at once.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <thread>

#include "core/identity/secure_enclave_helper.hpp"
#include "core/storage/keychain_manager.hpp"
#include "platform/files.hpp"
#include "support/child_processes.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/environment.hpp"
#include "velqo/platform/item_store.hpp"

namespace velqo {
namespace {

namespace fs = std::filesystem;

// Names of the temporary files of the atomic writes in `dir`.
std::vector<std::string> temporariesIn(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp-") != std::string::npos) found.push_back(name);
  }
  return found;
}

// Generation n of the item: a header naming n and 8 KiB that depend on n, so a torn or
// mixed item is recognised.
std::string generation(unsigned n) {
  std::string value = "generation-" + std::to_string(n) + ":";
  value.append(8192, static_cast<char>('a' + n % 26));
  return value;
}

bool isWholeGeneration(const std::string& value) {
  const auto colon = value.find(':');
  if (value.rfind("generation-", 0) != 0 || colon == std::string::npos) return false;
  return value == generation(static_cast<unsigned>(std::stoul(value.substr(11, colon - 11))));
}

class SharedDataDirectoryTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::setItemStore(nullptr); }
};

TEST_F(SharedDataDirectoryTest, ReplacingProcessKilledAtRandomMomentsNeverLosesOrTearsTheItem) {
  const fs::path dir = testing::makeTempDirectory("crash") / "keychain";
  platform::setItemStore(platform::makeFileItemStore(dir));
  ASSERT_TRUE(KeychainManager::save(bytesOf(generation(0)), "svc", "item"));

  constexpr int kRounds = 40;
  std::mt19937 random(20261207);
  int leftBehind = 0;
  for (int round = 0; round < kRounds; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const unsigned first = static_cast<unsigned>(round) * 1000000u + 1u;
    const pid_t child = testing::forkChild([&] {
      ::close(ready[0]);
      for (unsigned n = first;; ++n) {
        (void)KeychainManager::save(bytesOf(generation(n)), "svc", "item");
        if (n == first) (void)!::write(ready[1], "r", 1);
      }
    });
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the child saved once";
    ::close(ready[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (!temporariesIn(dir).empty()) ++leftBehind;

    // The next start: a new store object on the same directory.
    platform::setItemStore(platform::makeFileItemStore(dir));
    const auto stored = KeychainManager::getData("svc", "item");
    ASSERT_TRUE(stored.has_value()) << "item lost in round " << round;
    EXPECT_TRUE(isWholeGeneration(textOf(*stored))) << "torn item in round " << round;
    EXPECT_EQ(temporariesIn(dir), std::vector<std::string>{}) << "round " << round;
  }
  std::cout << "[ crashes  ] " << kRounds << " kills, " << leftBehind
            << " left a temporary file behind; every item whole\n";
}

TEST_F(SharedDataDirectoryTest, FirstUsesOfOneUserInSeveralProcessesEndWithOneSecret) {
  // What a writer killed before its rename left: removed when the secret is created.
  const fs::path firstPath = SecureEnclaveHelper::secretFilePath("user-0");
  const fs::path stale = firstPath.parent_path() / ("." + firstPath.filename().string() + ".tmp-a1B2c3");
  ASSERT_TRUE(platform::files::writeAtomically(stale, Bytes(32, 7)));

  for (int round = 0; round < 8; ++round) {
    const std::string user = "user-" + std::to_string(round);
    const auto hashes =
        testing::runInChildProcesses(4, [&](int) { return SecureEnclaveHelper::deviceSecretHash(user); });
    ASSERT_TRUE(hashes[0].has_value());
    for (const auto& hash : hashes) EXPECT_EQ(hash, hashes[0]) << "two secrets for " << user;
    EXPECT_EQ(SecureEnclaveHelper::deviceSecretHash(user), *hashes[0]) << "the stored secret";
  }
  EXPECT_EQ(temporariesIn(firstPath.parent_path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace velqo
