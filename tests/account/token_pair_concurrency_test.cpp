// The two token items of a user are written and removed as a pair: threads that store and clear
// at once never leave one writer's access token beside another's refresh token.

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "account/facade_test_support.hpp"
#include "core/storage/keychain_manager.hpp"
#include "support/forwarding_item_store.hpp"

namespace velqo::testing {
namespace {

// Forwards to the test's store, taking a little time over each write so writers overlap.
class SlowWrites : public ForwardingItemStore {
 public:
  using ForwardingItemStore::ForwardingItemStore;
  platform::OSStatus deleteGenericPassword(const std::string& s, const std::string& a) override {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    return ForwardingItemStore::deleteGenericPassword(s, a);
  }
  platform::OSStatus replaceGenericPassword(const std::string& s, const std::string& a, const Bytes& d,
                                            platform::Accessibility x) override {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    return ForwardingItemStore::replaceGenericPassword(s, a, d, x);
  }
};

TEST_F(FacadeTest, StoringAndClearingFromManyThreadsNeverMixesATokenPair) {
  constexpr int kWriters = 6;
  constexpr int kRounds = 5;
  const std::string user = "ada@example.com";
  platform::setItemStore(std::make_shared<SlowWrites>(items));
  // "<writer>" in the access token and "<writer>:refresh" in the refresh token.
  const auto pairOf = [&] {
    const auto access = KeychainManager::getJWTAccessToken(user);
    const auto refresh = KeychainManager::getData(KeychainManager::serviceName(), user + "_jwtRefreshToken");
    return std::make_pair(access.value_or("-"),
                          refresh ? std::string(refresh->begin(), refresh->end()) : "-");
  };
  int mixed = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int writer = 0; writer < kWriters; ++writer) {
      threads.emplace_back([&, writer] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 4; ++i) {
          if (writer == 0 && i % 2 == 1) {
            sdk->clearSessionTokens(user);
          } else {
            const std::string name = std::to_string(writer);
            EXPECT_TRUE(sdk->storeBackendOAuthTokens(name, name + ":refresh", user));
          }
        }
      });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    const auto [access, refresh] = pairOf();
    const bool consistent = (access == "-" && refresh == "-") || refresh == access + ":refresh";
    mixed += consistent ? 0 : 1;
    EXPECT_TRUE(consistent) << "round " << round << ": (" << access << ", " << refresh << ")";
  }
  EXPECT_EQ(mixed, 0);
}

}  // namespace
}  // namespace velqo::testing
