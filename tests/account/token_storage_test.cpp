// Tokens from the host's back end and the three clearing operations of VelqoSDK: each removes
// exactly its items, for exactly its user.

#include <algorithm>
#include <set>
#include <string_view>
#include <vector>

#include "account/facade_test_support.hpp"
#include "account/v5/velqo_auth_v5.hpp"
#include "core/storage/keychain_manager.hpp"
#include "velqo/core/debug_sink.hpp"

namespace velqo::testing {
namespace {

const std::string kAda = "ada@example.com";
const std::string kBob = "bob@example.com";
const Bytes kRecord{'{', '}'};

class TokenStorageTest : public FacadeTest {
 protected:
  /// Both users signed in with V5 (Ada last), with every other item a device may hold.
  void seed() {
    for (const auto& user : {kBob, kAda}) {
      signIn(user);
      ASSERT_TRUE(KeychainManager::save(kRecord, KeychainManager::serviceName(), user));  // Er1r2
      ASSERT_TRUE(KeychainManager::saveV4PersistentDeviceToken("pdt", user));
      ASSERT_TRUE(KeychainManager::save(kRecord, KeychainManager::serviceName(), user + "_tokenId_v3"));
      ASSERT_TRUE(KeychainManager::save(kRecord, VelqoAuthV5::defaultServiceName() + ".pending", user));
      defaults->setString("velqo_sdk_last_registered_apns_token_" + user, "0aff");
    }
  }

  /// The items present for the user, by name.
  std::set<std::string> present(const std::string& user) {
    auto has = [](const std::string& itemService, const std::string& account) {
      return KeychainManager::getData(itemService, account).has_value();
    };
    const std::string main = KeychainManager::serviceName();
    const std::string v5Service = VelqoAuthV5::defaultServiceName();
    std::set<std::string> names;
    const std::pair<const char*, bool> probes[] = {
        {"er1r2", has(main, user)},
        {"v4", has(main, user + "_persistentDeviceToken_v4")},
        {"v3", has(main, user + "_tokenId_v3")},
        {"access", has(main, user + "_jwtAccessToken")},
        {"refresh", has(main, user + "_jwtRefreshToken")},
        {"v5", has(v5Service, user)},
        {"pending", has(v5Service + ".pending", user)},
        {"push", defaults->string("velqo_sdk_last_registered_apns_token_" + user).has_value()},
        {"lastuser", sdk->getLastLoggedInUser() == user},
    };
    for (const auto& [name, here] : probes) {
      if (here) names.insert(name);
    }
    return names;
  }
};

using Names = std::set<std::string>;
const Names kEverything = {"er1r2", "v4", "v3", "access", "refresh", "v5", "pending", "push"};

TEST_F(TokenStorageTest, EachClearingOperationRemovesExactlyItsItems) {
  Names withLast = kEverything;
  withLast.insert("lastuser");
  const struct {
    const char* name;
    std::function<void(VelqoSDK&)> clear;
    Names adaAfter;
    std::size_t itemsRemoved;  // the hardware key goes with the user's keychain data
  } cases[] = {
      {"session tokens",
       [](VelqoSDK& s) { s.clearSessionTokens(kAda); },
       {"er1r2", "v4", "v3", "v5", "pending", "lastuser"},
       2},
      {"user keychain data", [](VelqoSDK& s) { s.clearUserKeychainData(kAda); }, {"lastuser"}, 8},
      {"last user", [](VelqoSDK& s) { s.clearLastLoggedInUser(); }, kEverything, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    items = FaultyItemStore::create();
    platform::setItemStore(items);
    seed();
    ASSERT_EQ(present(kAda), withLast);
    const std::size_t before = items->itemCount();
    c.clear(*sdk);
    EXPECT_EQ(present(kAda), c.adaAfter);
    EXPECT_EQ(present(kBob), kEverything);
    EXPECT_EQ(items->itemCount(), before - c.itemsRemoved);
  }
}

TEST_F(TokenStorageTest, BackendTokensFillBothItemsAndMakeTheLastUser) {
  ASSERT_TRUE(sdk->storeBackendOAuthTokens("access-1", std::nullopt, kAda));
  EXPECT_EQ(KeychainManager::getJWTAccessToken(kAda), "access-1");
  EXPECT_EQ(KeychainManager::getData(KeychainManager::serviceName(), kAda + "_jwtRefreshToken"),
            Bytes({'a', 'c', 'c', 'e', 's', 's', '-', '1'}));
  EXPECT_EQ(sdk->getLastLoggedInUser(), kAda);

  ASSERT_TRUE(sdk->storeBackendOAuthTokens("access-2", "refresh-2", kBob));
  EXPECT_EQ(KeychainManager::getData(KeychainManager::serviceName(), kBob + "_jwtRefreshToken"),
            Bytes({'r', 'e', 'f', 'r', 'e', 's', 'h', '-', '2'}));
  EXPECT_EQ(sdk->getLastLoggedInUser(), kBob);

  // A failed save reports failure and leaves the last user as it was.
  items->failNext(FaultyItemStore::Operation::add, platform::status::notAvailable);
  EXPECT_FALSE(sdk->storeBackendOAuthTokens("access-3", std::nullopt, kAda));
  EXPECT_EQ(sdk->getLastLoggedInUser(), kBob);
}

TEST_F(TokenStorageTest, ClearingAnotherUserKeepsThePushRegistration) {
  signIn(kBob);
  signInThroughBackend(kAda);
  sdk->setAPNsDeviceToken(kRecord);
  ASSERT_TRUE(runUntil([&] { return registeredToken(kAda).has_value(); }));

  // A registration travels on its own connection, so a quiet facade is judged after a settling
  // round trip and a sending one by waiting for the peer to see the request.
  const auto before = push.registrations().size();
  sdk->clearSessionTokens(kBob);
  sdk->setAPNsDeviceToken(kRecord);
  sdk->clearUserKeychainData(kBob);
  sdk->setAPNsDeviceToken(kRecord);
  settle();
  EXPECT_EQ(push.registrations().size(), before);

  // Clearing the last user forgets its registration: with new tokens the same token goes out again.
  sdk->clearSessionTokens(kAda);
  ASSERT_TRUE(sdk->storeBackendOAuthTokens(tokens->issue(kAda), std::nullopt, kAda));
  sdk->setAPNsDeviceToken(kRecord);
  EXPECT_TRUE(runUntil([&] { return push.registrations().size() > before; }));
}

TEST(FacadeStartTest, ShowsOnlyTheFirstFiveCharactersOfTheKey) {
  for (const auto& [key, shown] : std::vector<std::pair<std::string, std::string>>{
           {"proj-key-123456", "proj-"},
           {"abc", "abc"},
           {"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", "\u00e9\u00e9\u00e9\u00e9\u00e9"}}) {
    std::vector<std::string> lines;
    setDebugSink([&](std::string_view line) { lines.emplace_back(line); });
    static_cast<void>(VelqoSDK::create(key, "http://127.0.0.1:9/"));
    setDebugSink({});
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "[VelqoFramework] Initializing. Project API Key: " + shown +
                            "..., Base URL: http://127.0.0.1:9 (input: http://127.0.0.1:9/), V3 Legacy "
                            "Internally Set To: false"),
              lines.end())
        << key;
  }
}

}  // namespace
}  // namespace velqo::testing
