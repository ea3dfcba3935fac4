#include <gtest/gtest.h>

#include <atomic>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "platform/files.hpp"
#include "platform/platform_test_support.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/secure_keys.hpp"

namespace velqo::platform {
namespace {

namespace fs = std::filesystem;

// Runs `read` on three threads until `write` has finished; returns how many reads failed.
int readWhileWriting(const std::function<bool()>& read, const std::function<void()>& write) {
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread writer([&] { write(), done = true; });
  testing::inParallel(3, [&](int) {
    while (!done.load()) bad += !read();
  });
  writer.join();
  return bad.load();
}

TEST(SecureStorageConcurrency, ReadersSeeOldNewOrNoItemButNeverATornOne) {
  const Bytes oldValue(20000, 'o'), newValue(30000, 'n');
  const auto path = testing::makeTempDirectory("hammer") / "value";
  ASSERT_TRUE(files::writeAtomically(path, oldValue));
  const auto readFile = [&] {
    const auto got = files::read(path);
    return got && (*got == oldValue || *got == newValue);
  };
  EXPECT_EQ(readWhileWriting(readFile,
                             [&] {
                               for (int i = 0; i < 100; ++i)
                                 EXPECT_TRUE(files::writeAtomically(path, i % 2 ? oldValue : newValue));
                             }),
            0);
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);

  // Two store objects on one directory: the lock is shared by the whole process.
  const auto dir = testing::makeTempDirectory("item-hammer");
  auto writer = makeFileItemStore(dir), reader = makeFileItemStore(dir);
  ASSERT_EQ(writer->addGenericPassword("svc", "acct", oldValue, Accessibility::whenUnlocked),
            status::success);
  const auto readItem = [&] {
    Bytes out;
    const OSStatus s = reader->copyGenericPassword("svc", "acct", out);
    return s == status::itemNotFound || (s == status::success && (out == oldValue || out == newValue));
  };
  EXPECT_EQ(readWhileWriting(readItem,
                             [&] {
                               for (int i = 0; i < 100; ++i) {
                                 EXPECT_EQ(writer->deleteGenericPassword("svc", "acct"), status::success);
                                 EXPECT_EQ(
                                     writer->addGenericPassword("svc", "acct", i % 2 ? oldValue : newValue,
                                                                Accessibility::whenUnlocked),
                                     status::success);
                               }
                             }),
            0);
}

TEST(SecureStorageConcurrency, ConcurrentAddsOfOneItemLetExactlyOneWin) {
  for (auto store : {makeFileItemStore(testing::makeTempDirectory("race")),
                     std::shared_ptr<ItemStore>(InMemoryItemStore::create())}) {
    std::atomic<int> successes{0}, duplicates{0};
    testing::inParallel(8, [&](int i) {
      const OSStatus s =
          store->addGenericPassword("svc", "acct", bytesOf(std::to_string(i)), Accessibility::whenUnlocked);
      successes += s == status::success;
      duplicates += s == status::duplicateItem;
    });
    EXPECT_EQ(successes.load(), 1);
    EXPECT_EQ(duplicates.load(), 7);
  }
}

TEST(SecureStorageConcurrency, KeysAreSharedAcrossThreadsForKeyAgreement) {
  const auto own = keys::createRandomKey({}).value(), peer = keys::createRandomKey({}).value();
  const auto alg = KeyExchangeAlgorithm::ecdhCofactorX963SHA256;
  const auto expected = keys::copyKeyExchangeResult(own, alg, keys::copyPublicKey(peer), 32).value();
  std::atomic<int> mismatches{0};
  testing::inParallel(4, [&](int) {
    for (int j = 0; j < 50; ++j) {
      const auto r = keys::copyKeyExchangeResult(own, alg, keys::copyPublicKey(peer), std::nullopt);
      mismatches += !r.ok() || r.value() != expected;
    }
  });
  EXPECT_EQ(mismatches.load(), 0);
}

// Keys read from PEM are shared between threads; every thread also brings keys of its own so
// that the shared table grows and is cleared while others verify.
TEST(SecureStorageConcurrency, ParallelEcdsaVerification) {
  const auto vectors =
      testing::readJsonFile(std::filesystem::path(__FILE__).parent_path() / "data/crypto_vectors.json");
  const std::string pem = vectors["ecdsa"][0]["pem"];
  const Bytes signature = hexDecode(vectors["ecdsa"][0]["normal"].get<std::string>()).value();
  const Bytes message = bytesOf("header.payload");
  std::atomic<int> wrong{0};
  testing::inParallel(8, [&](int t) {
    for (int i = 0; i < 40; ++i) {
      const std::string own = pem + std::string(static_cast<std::size_t>(t * 40 + i % 7), '\n');
      const bool good = i % 3 != 0;
      Bytes sig = signature;
      if (!good) sig[5] ^= 0x10;
      const auto result = crypto::ecdsaVerifyRaw(i % 2 ? pem : own, crypto::EcCurve::p256,
                                                 crypto::view(message), crypto::view(sig));
      wrong +=
          result != (good ? crypto::EcdsaVerifyResult::valid : crypto::EcdsaVerifyResult::invalidSignature);
    }
  });
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace velqo::platform
