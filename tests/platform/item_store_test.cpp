#include "velqo/platform/item_store.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "platform/files.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo::platform {
namespace {

namespace fs = std::filesystem;

KeyItem keyItem(const std::string& tag, KeyToken token = KeyToken::software, Bytes keyData = {1, 2, 3}) {
  KeyItem item;
  item.applicationTag = bytesOf(tag);
  item.token = token;
  item.keyData = std::move(keyData);
  return item;
}

struct FileBackend {
  static std::shared_ptr<ItemStore> make() { return makeFileItemStore(testing::makeTempDirectory("items")); }
};
struct MemoryBackend {
  static std::shared_ptr<ItemStore> make() { return InMemoryItemStore::create(); }
};

template <class Backend>
class ItemStoreStatusTest : public ::testing::Test {
 protected:
  std::shared_ptr<ItemStore> store = Backend::make();
};
using Backends = ::testing::Types<FileBackend, MemoryBackend>;
TYPED_TEST_SUITE(ItemStoreStatusTest, Backends);

TYPED_TEST(ItemStoreStatusTest, GenericPasswordLifecycle) {
  auto& s = *this->store;
  Bytes out;
  EXPECT_EQ(s.copyGenericPassword("svc", "acct", out), status::itemNotFound);
  EXPECT_EQ(s.deleteGenericPassword("svc", "acct"), status::itemNotFound);
  ASSERT_EQ(
      s.addGenericPassword("svc", "acct", Bytes{0, 1, 0, 255}, Accessibility::whenUnlockedThisDeviceOnly),
      status::success);
  EXPECT_EQ(s.addGenericPassword("svc", "acct", bytesOf("other"), Accessibility::whenUnlocked),
            status::duplicateItem);
  ASSERT_EQ(s.copyGenericPassword("svc", "acct", out), status::success);
  EXPECT_EQ(out, (Bytes{0, 1, 0, 255}));  // the duplicate add changed nothing
  EXPECT_EQ(s.deleteGenericPassword("svc", "acct"), status::success);
  EXPECT_EQ(s.copyGenericPassword("svc", "acct", out), status::itemNotFound);
  EXPECT_EQ(s.deleteGenericPassword("svc", "acct"), status::itemNotFound);
  // Deleted items can be added again, empty data included.
  EXPECT_EQ(s.addGenericPassword("svc", "acct", {}, Accessibility::whenUnlocked), status::success);
  out = {9};
  ASSERT_EQ(s.copyGenericPassword("svc", "acct", out), status::success);
  EXPECT_TRUE(out.empty());
}

TYPED_TEST(ItemStoreStatusTest, ItemsAreKeptApartByEveryLookupAttribute) {
  auto& s = *this->store;
  const auto a = Accessibility::whenUnlockedThisDeviceOnly;
  // Field boundaries matter: "ab"+"c" is not "a"+"bc".
  ASSERT_EQ(s.addGenericPassword("ab", "c", bytesOf("1"), a), status::success);
  ASSERT_EQ(s.addGenericPassword("a", "bc", bytesOf("2"), a), status::success);
  ASSERT_EQ(s.addGenericPassword("", "abc", bytesOf("3"), a), status::success);
  ASSERT_EQ(s.addGenericPassword("abc", "", bytesOf("4"), a), status::success);
  // Keys live beside generic passwords, per token.
  ASSERT_EQ(s.addKey(keyItem("abc", KeyToken::software, {5})), status::success);
  ASSERT_EQ(s.addKey(keyItem("abc", KeyToken::secureEnclave, {6})), status::success);

  const std::pair<std::string, std::string> generic[] = {{"ab", "c"}, {"a", "bc"}, {"", "abc"}, {"abc", ""}};
  for (std::size_t i = 0; i < std::size(generic); ++i) {
    Bytes out;
    ASSERT_EQ(s.copyGenericPassword(generic[i].first, generic[i].second, out), status::success) << i;
    EXPECT_EQ(textOf(out), std::to_string(i + 1));
  }
  KeyItem key;
  ASSERT_EQ(s.copyKey(bytesOf("abc"), KeyType::ecPrimeRandom, KeyToken::software, key), status::success);
  EXPECT_EQ(key.keyData, Bytes{5});
  EXPECT_EQ(s.deleteKey(bytesOf("abc"), KeyType::ecPrimeRandom, KeyToken::software), status::success);
  ASSERT_EQ(s.copyKey(bytesOf("abc"), KeyType::ecPrimeRandom, KeyToken::secureEnclave, key), status::success);
  EXPECT_EQ(key.keyData, Bytes{6});
}

TYPED_TEST(ItemStoreStatusTest, KeyItemLifecycleKeepsAttributes) {
  auto& s = *this->store;
  KeyItem item = keyItem("tag", KeyToken::secureEnclave, Bytes(97, 0x42));
  item.permanent = false;
  item.accessibility = Accessibility::afterFirstUnlockThisDeviceOnly;
  KeyItem out;
  ASSERT_EQ(s.addKey(item), status::success);
  EXPECT_EQ(s.addKey(item), status::duplicateItem);
  ASSERT_EQ(s.copyKey(item.applicationTag, KeyType::ecPrimeRandom, KeyToken::secureEnclave, out),
            status::success);
  EXPECT_EQ(
      std::tie(out.applicationTag, out.token, out.sizeInBits, out.permanent, out.accessibility, out.keyData),
      std::tie(item.applicationTag, item.token, item.sizeInBits, item.permanent, item.accessibility,
               item.keyData));
  EXPECT_EQ(s.deleteKey(item.applicationTag, KeyType::ecPrimeRandom, KeyToken::secureEnclave),
            status::success);
  EXPECT_EQ(s.copyKey(item.applicationTag, KeyType::ecPrimeRandom, KeyToken::secureEnclave, out),
            status::itemNotFound);
  EXPECT_EQ(s.deleteKey(item.applicationTag, KeyType::ecPrimeRandom, KeyToken::secureEnclave),
            status::itemNotFound);
}

TYPED_TEST(ItemStoreStatusTest, MissingLookupAttributesAreBadParameters) {
  auto& s = *this->store;
  Bytes data;
  KeyItem key;
  EXPECT_EQ(s.addGenericPassword("", "", bytesOf("x"), Accessibility::whenUnlocked), status::badParameter);
  EXPECT_EQ(s.copyGenericPassword("", "", data), status::badParameter);
  EXPECT_EQ(s.deleteGenericPassword("", ""), status::badParameter);
  EXPECT_EQ(s.addKey(keyItem("")), status::badParameter);
  EXPECT_EQ(s.copyKey({}, KeyType::ecPrimeRandom, KeyToken::software, key), status::badParameter);
  EXPECT_EQ(s.deleteKey({}, KeyType::ecPrimeRandom, KeyToken::software), status::badParameter);
}

// --- file store -------------------------------------------------------------------------

std::vector<fs::path> filesIn(const fs::path& dir) {
  std::vector<fs::path> out;
  for (auto& e : fs::directory_iterator(dir)) out.push_back(e.path());
  return out;
}

unsigned modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

TEST(FileItemStoreTest, ItemsPersistInPrivateFilesAcrossStoreObjects) {
  auto dir = testing::makeTempDirectory("persist") / "nested" / "keychain";
  {
    auto store = makeFileItemStore(dir);
    EXPECT_FALSE(fs::exists(dir));  // nothing is made before the first add
    ASSERT_EQ(store->addGenericPassword("svc", "acct", bytesOf("secret"), Accessibility::whenUnlocked),
              status::success);
    ASSERT_EQ(store->addKey(keyItem("tag")), status::success);
  }
  EXPECT_EQ(modeOf(dir), 0700u);
  auto files = filesIn(dir);
  ASSERT_EQ(files.size(), 2u);  // one file per item, no temporary files left
  for (auto& f : files) EXPECT_EQ(modeOf(f), 0600u) << f;

  auto reopened = makeFileItemStore(dir);
  Bytes out;
  ASSERT_EQ(reopened->copyGenericPassword("svc", "acct", out), status::success);
  EXPECT_EQ(textOf(out), "secret");
  EXPECT_EQ(reopened->addKey(keyItem("tag")), status::duplicateItem);
}

TEST(FileItemStoreTest, UnusableItemFilesCountAsAbsentAndAreReplaced) {
  auto dir = testing::makeTempDirectory("corrupt");
  auto store = makeFileItemStore(dir);
  ASSERT_EQ(store->addKey(keyItem("tag")), status::success);
  const fs::path keyFile = filesIn(dir).at(0);
  // A generic item of the same store, written under the key's file name.
  auto other = testing::makeTempDirectory("other");
  ASSERT_EQ(makeFileItemStore(other)->addGenericPassword("s", "a", bytesOf("v"), Accessibility::whenUnlocked),
            status::success);
  const std::string foreignItem = textOf(files::read(filesIn(other).at(0)).value());

  KeyItem key;
  for (const std::string& content :
       {std::string("VQI1K\0\0", 7), std::string("{}"), std::string(), foreignItem}) {
    std::ofstream(keyFile, std::ios::binary | std::ios::trunc) << content;
    EXPECT_EQ(store->copyKey(bytesOf("tag"), KeyType::ecPrimeRandom, KeyToken::software, key),
              status::itemNotFound);
  }
  // An add replaces the unusable file; a delete removes it but reports the item absent.
  ASSERT_EQ(store->addKey(keyItem("tag")), status::success);
  EXPECT_EQ(store->copyKey(bytesOf("tag"), KeyType::ecPrimeRandom, KeyToken::software, key), status::success);
  std::ofstream(keyFile, std::ios::binary | std::ios::trunc) << "junk";
  EXPECT_EQ(store->deleteKey(bytesOf("tag"), KeyType::ecPrimeRandom, KeyToken::software),
            status::itemNotFound);
  EXPECT_TRUE(filesIn(dir).empty());
}

// Makes every write beyond `limit` bytes fail (EFBIG) for the scope, even for root.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit l = saved_;
    l.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &l);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit saved_{};
  sighandler_t previousHandler_;
};

TEST(FileItemStoreTest, FailedWritesKeepTheOldContentAndLeaveNoTemporaryFiles) {
  auto dir = testing::makeTempDirectory("failing");
  auto target = dir / "file";
  ASSERT_TRUE(files::writeAtomically(target, bytesOf("old")));
  {
    FileSizeLimit limit(64);
    EXPECT_FALSE(files::writeAtomically(target, Bytes(4096, 'n')));
    EXPECT_EQ(files::createExclusively(dir / "new", Bytes(4096, 'n')), files::CreateResult::failed);
  }
  EXPECT_EQ(textOf(files::read(target).value()), "old");
  EXPECT_EQ(filesIn(dir), std::vector<fs::path>{target});

  auto store = makeFileItemStore(dir / "items");
  ASSERT_EQ(store->addGenericPassword("svc", "small", bytesOf("s"), Accessibility::whenUnlocked),
            status::success);
  {
    FileSizeLimit limit(64);
    EXPECT_EQ(store->addGenericPassword("svc", "big", Bytes(4096, 'b'), Accessibility::whenUnlocked),
              status::ioError);
  }
  Bytes out;
  EXPECT_EQ(store->copyGenericPassword("svc", "big", out), status::itemNotFound);
  EXPECT_EQ(filesIn(dir / "items").size(), 1u);
}

TEST(FilesTest, CreateExclusivelyNeverReplacesAndDirectoriesArePrivate) {
  auto dir = testing::makeTempDirectory("files") / "a" / "b";
  EXPECT_EQ(files::createExclusively(dir / "f", bytesOf("first")), files::CreateResult::created);
  EXPECT_EQ(files::createExclusively(dir / "f", bytesOf("second")), files::CreateResult::alreadyExists);
  EXPECT_EQ(textOf(files::read(dir / "f").value()), "first");
  EXPECT_EQ(modeOf(dir), 0700u);
  EXPECT_EQ(modeOf(dir.parent_path()), 0700u);
  EXPECT_EQ(modeOf(dir / "f"), 0600u);
  EXPECT_FALSE(files::read(dir));  // a directory is not a readable file
  EXPECT_EQ(filesIn(dir).size(), 1u);
}

// --- in-memory store and the shared store -------------------------------------------------

TEST(InMemoryItemStoreTest, InjectedFaultsHitTheNextCallOfTheirOperationOnlyAndChangeNothing) {
  auto store = InMemoryItemStore::create();
  using Op = InMemoryItemStore::Operation;
  Bytes out;
  store->failNext(Op::add, status::notAvailable);
  store->failNext(Op::remove, status::ioError);
  EXPECT_EQ(store->addKey(keyItem("k")), status::notAvailable);  // key operations count too
  EXPECT_EQ(store->itemCount(), 0u);
  ASSERT_EQ(store->addKey(keyItem("k")), status::success);
  ASSERT_EQ(store->addGenericPassword("s", "a", bytesOf("v"), Accessibility::whenUnlocked), status::success);
  EXPECT_EQ(store->itemCount(), 2u);

  store->failNext(Op::copy, status::unimplemented);
  EXPECT_EQ(store->copyGenericPassword("s", "a", out), status::unimplemented);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(store->deleteGenericPassword("s", "a"), status::ioError);  // still waiting since before
  EXPECT_EQ(store->itemCount(), 2u);
  EXPECT_EQ(store->copyGenericPassword("s", "a", out), status::success);
  EXPECT_EQ(store->deleteGenericPassword("s", "a"), status::success);
  EXPECT_EQ(store->itemCount(), 1u);
}

TEST(SharedItemStoreTest, DefaultsToFilesUnderTheDataDirectoryAndCanBeSwapped) {
  setItemStore(nullptr);
  auto defaultStore = itemStore();
  EXPECT_EQ(itemStore(), defaultStore);
  ASSERT_EQ(defaultStore->addGenericPassword("shared-test", "a", bytesOf("v"), Accessibility::whenUnlocked),
            status::success);
  EXPECT_EQ(modeOf(applicationDataDirectory() / "keychain"), 0700u);

  auto memory = InMemoryItemStore::create();
  setItemStore(memory);
  EXPECT_EQ(itemStore(), memory);
  Bytes out;
  EXPECT_EQ(itemStore()->copyGenericPassword("shared-test", "a", out), status::itemNotFound);

  setItemStore(nullptr);
  ASSERT_EQ(itemStore()->copyGenericPassword("shared-test", "a", out), status::success);
  EXPECT_EQ(textOf(out), "v");
  EXPECT_EQ(itemStore()->deleteGenericPassword("shared-test", "a"), status::success);
}

}  // namespace
}  // namespace velqo::platform
