#include "velqo/platform/item_store.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "platform/files.hpp"
#include "platform/platform_test_support.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo::platform {
namespace {

namespace fs = std::filesystem;
using testing::modeOf;
constexpr auto kEc = KeyType::ecPrimeRandom;
constexpr auto kSoft = KeyToken::software;
constexpr auto kAny = Accessibility::whenUnlocked;

KeyItem keyItem(const std::string& tag, KeyToken token = kSoft, Bytes keyData = {1, 2, 3}) {
  return {bytesOf(tag), kEc, 256, token, true, Accessibility::whenUnlockedThisDeviceOnly, std::move(keyData)};
}

// What a directory holds besides the lock files of the stores that use it (".<name>.lock",
// kept for good so that processes can take turns).
std::vector<fs::path> filesIn(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (!(name.starts_with(".") && name.ends_with(".lock"))) found.push_back(entry.path());
  }
  return found;
}

template <class Backend>
class ItemStoreStatusTest : public ::testing::Test {
 protected:
  std::shared_ptr<ItemStore> store = Backend::make();
};
struct FileBackend {
  static std::shared_ptr<ItemStore> make() { return makeFileItemStore(testing::makeTempDirectory("items")); }
};
struct MemoryBackend {
  static std::shared_ptr<ItemStore> make() { return InMemoryItemStore::create(); }
};
using Backends = ::testing::Types<FileBackend, MemoryBackend>;
TYPED_TEST_SUITE(ItemStoreStatusTest, Backends);

TYPED_TEST(ItemStoreStatusTest, AddCopyDeleteWithTheirStatuses) {
  auto& s = *this->store;
  Bytes out;
  EXPECT_EQ(s.copyGenericPassword("svc", "acct", out), status::itemNotFound);
  EXPECT_EQ(s.deleteGenericPassword("svc", "acct"), status::itemNotFound);
  ASSERT_EQ(s.addGenericPassword("svc", "acct", Bytes{0, 1, 0, 255}, kAny), status::success);
  EXPECT_EQ(s.addGenericPassword("svc", "acct", bytesOf("other"), kAny), status::duplicateItem);
  ASSERT_EQ(s.copyGenericPassword("svc", "acct", out), status::success);
  EXPECT_EQ(out, (Bytes{0, 1, 0, 255}));  // the duplicate add changed nothing
  EXPECT_EQ(s.deleteGenericPassword("svc", "acct"), status::success);
  EXPECT_EQ(s.copyGenericPassword("svc", "acct", out), status::itemNotFound);
  // Deleted items can be added again, empty data included.
  EXPECT_EQ(s.addGenericPassword("svc", "acct", {}, kAny), status::success);
  ASSERT_EQ(s.copyGenericPassword("svc", "acct", out), status::success);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(s.replaceGenericPassword("svc", "acct", bytesOf("r"), kAny), status::success);
  EXPECT_EQ(s.replaceGenericPassword("", "", {}, kAny), status::badParameter);

  KeyItem item = keyItem("tag", KeyToken::secureEnclave, Bytes(97, 0x42));
  item.permanent = false;
  item.accessibility = Accessibility::afterFirstUnlockThisDeviceOnly;
  KeyItem key;
  ASSERT_EQ(s.addKey(item), status::success);
  EXPECT_EQ(s.addKey(item), status::duplicateItem);
  ASSERT_EQ(s.copyKey(item.applicationTag, kEc, KeyToken::secureEnclave, key), status::success);
  EXPECT_EQ(
      std::tie(key.applicationTag, key.token, key.sizeInBits, key.permanent, key.accessibility, key.keyData),
      std::tie(item.applicationTag, item.token, item.sizeInBits, item.permanent, item.accessibility,
               item.keyData));
  EXPECT_EQ(s.deleteKey(item.applicationTag, kEc, KeyToken::secureEnclave), status::success);
  EXPECT_EQ(s.copyKey(item.applicationTag, kEc, KeyToken::secureEnclave, key), status::itemNotFound);
  EXPECT_EQ(s.deleteKey(item.applicationTag, kEc, KeyToken::secureEnclave), status::itemNotFound);
}

TYPED_TEST(ItemStoreStatusTest, ItemsAreKeptApartByEveryLookupAttributeWhichMustBeGiven) {
  auto& s = *this->store;
  // Field boundaries matter: "ab"+"c" is not "a"+"bc".
  const std::pair<std::string, std::string> generic[] = {{"ab", "c"}, {"a", "bc"}, {"", "abc"}, {"abc", ""}};
  for (std::size_t i = 0; i < std::size(generic); ++i) {
    ASSERT_EQ(s.addGenericPassword(generic[i].first, generic[i].second, bytesOf(std::to_string(i)), kAny),
              status::success);
  }
  for (std::size_t i = 0; i < std::size(generic); ++i) {
    Bytes out;
    ASSERT_EQ(s.copyGenericPassword(generic[i].first, generic[i].second, out), status::success) << i;
    EXPECT_EQ(textOf(out), std::to_string(i));
  }
  // Keys live beside generic passwords, per token.
  ASSERT_EQ(s.addKey(keyItem("abc", kSoft, {5})), status::success);
  ASSERT_EQ(s.addKey(keyItem("abc", KeyToken::secureEnclave, {6})), status::success);
  EXPECT_EQ(s.deleteKey(bytesOf("abc"), kEc, kSoft), status::success);
  KeyItem key;
  ASSERT_EQ(s.copyKey(bytesOf("abc"), kEc, KeyToken::secureEnclave, key), status::success);
  EXPECT_EQ(key.keyData, Bytes{6});

  Bytes data;
  EXPECT_EQ(s.addGenericPassword("", "", bytesOf("x"), kAny), status::badParameter);
  EXPECT_EQ(s.copyGenericPassword("", "", data), status::badParameter);
  EXPECT_EQ(s.deleteGenericPassword("", ""), status::badParameter);
  EXPECT_EQ(s.addKey(keyItem("")), status::badParameter);
  EXPECT_EQ(s.copyKey({}, kEc, kSoft, key), status::badParameter);
  EXPECT_EQ(s.deleteKey({}, kEc, kSoft), status::badParameter);
}

TEST(FileItemStoreTest, ItemsPersistInPrivateFilesAcrossStoreObjects) {
  auto dir = testing::makeTempDirectory("persist") / "nested" / "keychain";
  auto store = makeFileItemStore(dir);
  EXPECT_FALSE(fs::exists(dir));  // nothing is made before the first add
  ASSERT_EQ(store->addGenericPassword("svc", "acct", bytesOf("secret"), kAny), status::success);
  ASSERT_EQ(store->addKey(keyItem("tag")), status::success);
  ASSERT_EQ(store->replaceGenericPassword("svc", "acct", bytesOf("secret"), kAny), status::success);
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
  ASSERT_EQ(store->addGenericPassword("s", "a", bytesOf("v"), kAny), status::success);
  const std::string genericItem = textOf(files::read(filesIn(dir).at(0)).value());
  ASSERT_EQ(store->deleteGenericPassword("s", "a"), status::success);
  ASSERT_EQ(store->addKey(keyItem("tag")), status::success);
  const fs::path keyFile = filesIn(dir).at(0);

  KeyItem key;
  for (const std::string& content :
       {std::string("VQI1K\0\0", 7), std::string("{}"), std::string(), genericItem}) {
    std::ofstream(keyFile, std::ios::binary | std::ios::trunc) << content;
    EXPECT_EQ(store->copyKey(bytesOf("tag"), kEc, kSoft, key), status::itemNotFound);
  }
  // An add replaces the unusable file; a delete removes it but reports the item absent.
  ASSERT_EQ(store->addKey(keyItem("tag")), status::success);
  EXPECT_EQ(store->copyKey(bytesOf("tag"), kEc, kSoft, key), status::success);
  std::ofstream(keyFile, std::ios::binary | std::ios::trunc) << "junk";
  EXPECT_EQ(store->deleteKey(bytesOf("tag"), kEc, kSoft), status::itemNotFound);
  EXPECT_TRUE(filesIn(dir).empty());
}

// Makes every write beyond `limit` bytes fail (EFBIG) for the scope, even for root.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit l{limit, saved.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &l);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, handler);
  }
  sighandler_t handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
};

TEST(FileItemStoreTest, FailedWritesKeepTheOldContentAndLeaveNoTemporaryFiles) {
  auto dir = testing::makeTempDirectory("failing");
  auto target = dir / "file";
  ASSERT_TRUE(files::writeAtomically(target, bytesOf("old")));
  auto store = makeFileItemStore(dir / "items");
  ASSERT_EQ(store->addGenericPassword("svc", "small", bytesOf("s"), kAny), status::success);
  {
    FileSizeLimit limit(64);
    EXPECT_FALSE(files::writeAtomically(target, Bytes(4096, 'n')));
    EXPECT_EQ(files::createExclusively(dir / "new", Bytes(4096, 'n')), files::CreateResult::failed);
    EXPECT_EQ(store->addGenericPassword("svc", "big", Bytes(4096, 'b'), kAny), status::ioError);
    EXPECT_EQ(store->replaceGenericPassword("svc", "small", Bytes(4096, 'b'), kAny), status::ioError);
  }
  EXPECT_EQ(textOf(files::read(target).value()), "old");
  EXPECT_EQ(filesIn(dir).size(), 2u) << "the file and the item directory only";
  Bytes out;
  EXPECT_EQ(store->copyGenericPassword("svc", "big", out), status::itemNotFound);
  EXPECT_EQ(store->copyGenericPassword("svc", "small", out), status::success);
  EXPECT_EQ(textOf(out), "s") << "a failed replace keeps the old item";
  EXPECT_EQ(filesIn(dir / "items").size(), 1u);
}

TEST(SharedItemStoreTest, DefaultsToFilesUnderTheDataDirectoryAndCanBeSwapped) {
  setItemStore(nullptr);
  ASSERT_EQ(itemStore()->addGenericPassword("shared-test", "a", bytesOf("v"), kAny), status::success);
  EXPECT_EQ(modeOf(applicationDataDirectory() / "keychain"), 0700u);
  auto memory = InMemoryItemStore::create();
  setItemStore(memory);
  EXPECT_EQ(itemStore(), memory);
  Bytes out;
  EXPECT_EQ(itemStore()->copyGenericPassword("shared-test", "a", out), status::itemNotFound);
  setItemStore(nullptr);
  ASSERT_EQ(itemStore()->copyGenericPassword("shared-test", "a", out), status::success);
  EXPECT_EQ(itemStore()->deleteGenericPassword("shared-test", "a"), status::success);
}

}  // namespace
}  // namespace velqo::platform
