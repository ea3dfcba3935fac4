// Tokens from the host's back end and the three clearing operations of VelqoSDK: each removes
// exactly its items, for exactly its user.

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "account/facade_test_support.hpp"
#include "account/v5/velqo_auth_v5.hpp"
#include "core/storage/keychain_manager.hpp"
#include "platform/utf8_validation.hpp"
#include "support/forwarding_item_store.hpp"
#include "v1/flows/line_capture.hpp"
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

  // A registration travels on its own connection, so each hand-over is waited for until
  // something proves what it did: the line of an unchanged token (nothing sent, decided before
  // the call returns) or the request at the service (sent).
  const auto before = push.registrations().size();
  const LineCapture capture;
  const std::string unchanged =
      "[VelqoSDK] Token is unchanged for user " + kAda + ". No registration needed.";
  const auto judged = [&] {
    const auto lines = capture.lines();
    const auto notSent = static_cast<std::size_t>(std::count(lines.begin(), lines.end(), unchanged));
    return notSent + (push.registrations().size() - before);
  };
  sdk->clearSessionTokens(kBob);
  sdk->setAPNsDeviceToken(kRecord);
  sdk->clearUserKeychainData(kBob);
  sdk->setAPNsDeviceToken(kRecord);
  ASSERT_TRUE(runUntil([&] { return judged() >= 2; }));
  EXPECT_EQ(push.registrations().size(), before);

  // Clearing the last user forgets its registration: with new tokens the same token goes out again.
  sdk->clearSessionTokens(kAda);
  ASSERT_TRUE(sdk->storeBackendOAuthTokens(tokens->issue(kAda), std::nullopt, kAda));
  sdk->setAPNsDeviceToken(kRecord);
  EXPECT_TRUE(runUntil([&] { return push.registrations().size() > before; }));
}

// The names under which the default service keeps records other than a user's own: the
// last-user record, Ada's items and a V1 device credential; then ids that are not UTF-8 (cut
// short, overlong, a surrogate, beyond U+10FFFF), which can be neither sent nor kept.
const std::string kIdsOfOtherRecords[] = {"lastuser",
                                          kAda + "_jwtAccessToken",
                                          kAda + "_jwtRefreshToken",
                                          kAda + "_persistentDeviceToken_v4",
                                          kAda + "_tokenId_v3",
                                          "velqo.v1.device." + kAda + "+cfg1"};
const std::string kIdsNotUtf8[] = {"ada\xff@example.com", "ada\xc3", "\xc0\xaf", "\xed\xa0\x80",
                                   "\xf4\x90\x80\x80"};

TEST_F(TokenStorageTest, UserIdsThatNameAnotherRecordAreRefusedEverywhere) {
  seed();
  Names adaBefore = present(kAda);
  const std::size_t itemsBefore = items->itemCount();
  const std::size_t requestsBefore = service.requestCount();
  std::vector<std::string> refusedIds(std::begin(kIdsOfOtherRecords), std::end(kIdsOfOtherRecords));
  refusedIds.insert(refusedIds.end(), std::begin(kIdsNotUtf8), std::end(kIdsNotUtf8));
  for (const auto& id : refusedIds) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(VelqoSDK::isUsableUserId(id));
    std::vector<std::string> lines;
    setDebugSink([&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_FALSE(sdk->storeBackendOAuthTokens("other-access", "other-refresh", id));
    sdk->clearSessionTokens(id);
    sdk->clearUserKeychainData(id);
    setDebugSink({});
    // Each refusal says so in a line of text: an id that is not UTF-8 stays out of it.
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                              return line.starts_with("[VelqoSDK] ") &&
                                     line.find(" refused for ") != std::string::npos;
                            }),
              3);
    for (const auto& line : lines) EXPECT_TRUE(platform::isWellFormedUtf8(line)) << line;
    // The V5 engine refuses before the call returns, the V4 engine on the main queue.
    auto v5Outcome = std::make_shared<RecordingCallback>();
    sdk->authenticateV5(id, v5Outcome);
    ASSERT_EQ(v5Outcome->count(), 1u);
    EXPECT_EQ(v5Outcome->last().result() + ": " + v5Outcome->last().second,
              "INVALID_INPUT: Invalid input provided. Please verify the information and retry.");
    auto v4Outcome = std::make_shared<RecordingCallback>();
    sdk->authenticateV4(id, v4Outcome);
    ASSERT_TRUE(v4Outcome->waitFor(1));
    EXPECT_EQ(v4Outcome->last().result() + ": " + v4Outcome->last().second,
              "INVALID_INPUT: Invalid input provided. Please check your details.");
  }
  EXPECT_EQ(present(kAda), adaBefore);
  EXPECT_EQ(present(kBob), kEverything);
  EXPECT_EQ(items->itemCount(), itemsBefore);
  EXPECT_EQ(service.requestCount(), requestsBefore);
}

// An item store that cannot delete, as a data directory that went read-only.
class UndeletableItems : public ForwardingItemStore {
 public:
  using ForwardingItemStore::ForwardingItemStore;
  platform::OSStatus deleteGenericPassword(const std::string&, const std::string&) override {
    return platform::status::ioError;
  }
  // The generic replace, which goes through the failing delete.
  platform::OSStatus replaceGenericPassword(const std::string& s, const std::string& a, const Bytes& d,
                                            platform::Accessibility x) override {
    return platform::ItemStore::replaceGenericPassword(s, a, d, x);
  }
  platform::OSStatus deleteKey(const Bytes&, platform::KeyType, platform::KeyToken) override {
    return platform::status::ioError;
  }
};

TEST_F(TokenStorageTest, DeletesThatFailReachADiagnosticLineWithoutSecrets) {
  seed();
  const std::string accessToken = KeychainManager::getJWTAccessToken(kAda).value();
  const std::size_t itemsBefore = items->itemCount();
  std::vector<std::string> lines;
  setDebugSink([&](std::string_view line) { lines.emplace_back(line); });
  platform::setItemStore(std::make_shared<UndeletableItems>(items));
  sdk->clearUserKeychainData(kAda);  // nothing else runs meanwhile: the lines are this call's
  platform::setItemStore(items);
  setDebugSink({});
  EXPECT_EQ(items->itemCount(), itemsBefore);
  const auto count = [&](std::string_view start) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const auto& line) { return line.starts_with(start); });
  };
  // Seven items and the hardware key, each with its own line.
  EXPECT_EQ(count("[KeychainManager] Could not delete the item: status -36"), 7);
  EXPECT_EQ(count("[V5CredentialStore] Could not delete the Secure Enclave key: status -36"), 1);
  for (const auto& line : lines) EXPECT_EQ(line.find(accessToken), std::string::npos) << line;
}

// The lines of a clear or a token store reach the host's sink after the locks are released: a
// sink that calls back into the library (storing tokens, reading a default) must not find them
// taken.
TEST_F(TokenStorageTest, ASinkThatCallsBackIntoTheLibraryFindsNoLockTaken) {
  std::atomic<bool> reentered{false};
  setDebugSink([&](std::string_view) {
    if (reentered.exchange(true)) return;
    (void)sdk->storeBackendOAuthTokens("access-2", "refresh-2", kBob);
    (void)defaults->string("velqo_sdk_last_registered_apns_token_" + kBob);
  });
  auto finished = std::make_shared<std::promise<void>>();
  auto done = finished->get_future();
  // Nothing is stored for this user: each delete writes a "No item to delete" line.
  std::thread([sdk = sdk, finished] {
    sdk->clearSessionTokens("nobody@example.com");
    finished->set_value();
  }).detach();
  const bool ended = done.wait_for(kWaitBound) == std::future_status::ready;
  ASSERT_TRUE(ended) << "the clear is stuck: its lines reached the sink under its locks";
  setDebugSink({});
  EXPECT_TRUE(reentered);
  EXPECT_EQ(present(kBob).count("refresh"), 1u);
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
