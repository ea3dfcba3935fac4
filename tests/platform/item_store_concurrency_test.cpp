#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "platform/files.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/secure_keys.hpp"

namespace velqo::platform {
namespace {

namespace fs = std::filesystem;

TEST(ItemStoreConcurrencyTest, ReadersSeeOnlyWholeFilesWhileAWriterReplacesThem) {
  auto path = testing::makeTempDirectory("hammer") / "value";
  const Bytes oldValue(20000, 'o');
  const Bytes newValue(30000, 'n');
  ASSERT_TRUE(files::writeAtomically(path, oldValue));

  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!done.load()) {
        auto got = files::read(path);
        if (!got || (*got != oldValue && *got != newValue)) ++torn;
        ++reads;
      }
    });
  }
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(files::writeAtomically(path, i % 2 ? oldValue : newValue));
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);
}

TEST(ItemStoreConcurrencyTest, ItemReadersSeeOldNewOrNothingWhileAWriterReplacesTheItem) {
  auto dir = testing::makeTempDirectory("item-hammer");
  // Two store objects on one directory: the lock is shared by the whole process.
  auto writer = makeFileItemStore(dir);
  auto reader = makeFileItemStore(dir);
  const Bytes oldValue(5000, 'o');
  const Bytes newValue(7000, 'n');
  ASSERT_EQ(writer->addGenericPassword("svc", "acct", oldValue, Accessibility::whenUnlocked),
            status::success);

  std::atomic<bool> done{false};
  std::atomic<int> bad{0}, found{0};
  std::thread readerThread([&] {
    while (!done.load()) {
      Bytes out;
      OSStatus s = reader->copyGenericPassword("svc", "acct", out);
      if (s == status::success && (out == oldValue || out == newValue)) {
        ++found;
      } else if (s != status::itemNotFound) {
        ++bad;
      }
    }
  });
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(writer->deleteGenericPassword("svc", "acct"), status::success);
    ASSERT_EQ(
        writer->addGenericPassword("svc", "acct", i % 2 ? oldValue : newValue, Accessibility::whenUnlocked),
        status::success);
  }
  done = true;
  readerThread.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(ItemStoreConcurrencyTest, ConcurrentAddsOfOneItemLetExactlyOneWin) {
  for (auto store : {makeFileItemStore(testing::makeTempDirectory("race")),
                     std::shared_ptr<ItemStore>(InMemoryItemStore::create())}) {
    std::atomic<int> successes{0}, duplicates{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&, i] {
        OSStatus s =
            store->addGenericPassword("svc", "acct", bytesOf(std::to_string(i)), Accessibility::whenUnlocked);
        if (s == status::success) ++successes;
        if (s == status::duplicateItem) ++duplicates;
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(successes.load(), 1);
    EXPECT_EQ(duplicates.load(), 7);
  }
}

TEST(ItemStoreConcurrencyTest, KeysAreSharedAcrossThreadsForKeyAgreement) {
  auto own = keys::createRandomKey({});
  auto peer = keys::createRandomKey({});
  ASSERT_TRUE(own.ok() && peer.ok());
  auto peerPublic = keys::copyPublicKey(peer.value());
  auto expected =
      keys::copyKeyExchangeResult(own.value(), KeyExchangeAlgorithm::ecdhStandardX963SHA256, peerPublic, 32);
  ASSERT_TRUE(expected.ok());
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 50; ++j) {
        auto r = keys::copyKeyExchangeResult(own.value(), KeyExchangeAlgorithm::ecdhCofactorX963SHA256,
                                             keys::copyPublicKey(peer.value()), std::nullopt);
        if (!r.ok() || r.value() != expected.value()) ++mismatches;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace velqo::platform
