// A user's two token items as a pair through the facade: the pair's lock never waits on the
// other locks of the process (items kept in the data directory, a host store that uses the
// user defaults), and a store that fails leaves the earlier pair, never half of the new one.

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "account/facade_test_support.hpp"
#include "core/storage/keychain_manager.hpp"
#include "support/forwarding_item_store.hpp"
#include "support/watchdog.hpp"

namespace velqo::testing {
namespace {

using Op = FaultyItemStore::Operation;

// (access token, refresh token) of the user; "-" for a missing item.
std::pair<std::string, std::string> pairOf(const std::string& user) {
  const auto text = [](const std::string& account) {
    const auto data = KeychainManager::getData(KeychainManager::serviceName(), account);
    return data ? std::string(data->begin(), data->end()) : std::string("-");
  };
  return {text(user + "_jwtAccessToken"), text(user + "_jwtRefreshToken")};
}

class TokenPairTest : public FacadeTest {
 protected:
  // The data directory `dir`, its own defaults file and `store` for the items, and a facade made
  // afterwards (it keeps the user defaults it finds).
  void useDataDirectory(const std::filesystem::path& dir, std::shared_ptr<platform::ItemStore> store) {
    settings.setApplicationDataDirectory(dir);
    settings.setUserDefaults(platform::UserDefaults::open(dir / "defaults.json"));
    settings.setItemStore(std::move(store));
    sdk = VelqoSDK::create("proj-key-123456", service.baseUrl());
  }
};

TEST_F(TokenPairTest, ItemsKeptInTheDataDirectoryItselfStoreAndClearWithoutAHang) {
  const auto dir = makeTempDirectory("items-in-data-dir");
  useDataDirectory(dir, platform::makeFileItemStore(dir));

  runWithWatchdog("a token store with the items in the data directory",
                  [&] { EXPECT_TRUE(sdk->storeBackendOAuthTokens("a", "r", "ada")); });
  EXPECT_EQ(pairOf("ada"), std::make_pair(std::string("a"), std::string("r")));
  // The V5 engine keeps the tokens of a registration as a pair too.
  runWithWatchdog("a V5 registration with the items in the data directory", [&] { signIn("bea"); });
  EXPECT_TRUE(KeychainManager::getJWTAccessToken("bea"));

  runWithWatchdog("a session clear with the items in the data directory",
                  [&] { sdk->clearSessionTokens("ada"); });
  runWithWatchdog("a full clear with the items in the data directory",
                  [&] { sdk->clearUserKeychainData("bea"); });
  EXPECT_EQ(pairOf("ada"), std::make_pair(std::string("-"), std::string("-")));
  EXPECT_EQ(pairOf("bea"), std::make_pair(std::string("-"), std::string("-")));
}

// A host's store that counts its writes in the user defaults, reading the count first.
class DefaultsCountingStore : public ForwardingItemStore {
 public:
  using ForwardingItemStore::ForwardingItemStore;
  platform::OSStatus replaceGenericPassword(const std::string& s, const std::string& a, const Bytes& d,
                                            platform::Accessibility x) override {
    count();
    return ForwardingItemStore::replaceGenericPassword(s, a, d, x);
  }
  platform::OSStatus deleteGenericPassword(const std::string& s, const std::string& a) override {
    count();
    return ForwardingItemStore::deleteGenericPassword(s, a);
  }

 private:
  static void count() {
    auto defaults = platform::UserDefaults::standard();
    defaults->setNumber("host-writes", defaults->number("host-writes").value_or(0) + 1);
  }
};

TEST_F(TokenPairTest, AHostStoreThatUsesTheUserDefaultsStoresAndClearsWithoutAHang) {
  useDataDirectory(makeTempDirectory("host-store-defaults"), std::make_shared<DefaultsCountingStore>(items));

  runWithWatchdog("a token store into a host store that writes a user default",
                  [&] { EXPECT_TRUE(sdk->storeBackendOAuthTokens("a", "r", "ada")); });
  EXPECT_EQ(pairOf("ada"), std::make_pair(std::string("a"), std::string("r")));
  runWithWatchdog("a session clear through a host store that writes a user default",
                  [&] { sdk->clearSessionTokens("ada"); });
  runWithWatchdog("a full clear through a host store that writes a user default",
                  [&] { sdk->clearUserKeychainData("ada"); });
  EXPECT_EQ(pairOf("ada"), std::make_pair(std::string("-"), std::string("-")));
  EXPECT_GE(platform::UserDefaults::standard()->number("host-writes").value_or(0), 6);
}

// Forwards to the test's store; the chosen write from now on (1 = the next) fails and
// changes nothing.
class FailingWrite : public ForwardingItemStore {
 public:
  using ForwardingItemStore::ForwardingItemStore;
  void failWrite(int n) { untilFailure_ = n; }
  platform::OSStatus replaceGenericPassword(const std::string& s, const std::string& a, const Bytes& d,
                                            platform::Accessibility x) override {
    if (untilFailure_ > 0 && --untilFailure_ == 0) return platform::status::ioError;
    return ForwardingItemStore::replaceGenericPassword(s, a, d, x);
  }

 private:
  int untilFailure_ = 0;
};

TEST_F(TokenPairTest, AFailedStoreLeavesTheEarlierPairOrNone) {
  const auto store = std::make_shared<FailingWrite>(items);
  settings.setItemStore(store);
  const std::string large(3000, 'L');
  for (int failing : {1, 2}) {
    for (bool earlier : {true, false}) {
      const std::string user = "u" + std::to_string(failing) + (earlier ? "-earlier" : "-new");
      SCOPED_TRACE(user);
      if (earlier) {
        ASSERT_TRUE(sdk->storeBackendOAuthTokens("A1", "R1", user));
      }
      store->failWrite(failing);
      EXPECT_FALSE(
          sdk->storeBackendOAuthTokens(failing == 1 ? large : "A2", failing == 2 ? large : "R2", user));
      EXPECT_EQ(pairOf(user), earlier ? std::make_pair(std::string("A1"), std::string("R1"))
                                      : std::make_pair(std::string("-"), std::string("-")));
    }
  }
  // Without the earlier access token to put back, nothing is written at all.
  ASSERT_TRUE(sdk->storeBackendOAuthTokens("A1", "R1", "ada"));
  items->failNext(Op::copy, platform::status::ioError);
  EXPECT_FALSE(sdk->storeBackendOAuthTokens("A2", "R2", "ada"));
  EXPECT_EQ(pairOf("ada"), std::make_pair(std::string("A1"), std::string("R1")));
  EXPECT_TRUE(sdk->storeBackendOAuthTokens("A3", "R3", "ada"));
  EXPECT_EQ(pairOf("ada"), std::make_pair(std::string("A3"), std::string("R3")));
}

}  // namespace
}  // namespace velqo::testing
