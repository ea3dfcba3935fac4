// Account user ids against the names the library really writes in the default service: every
// flow that stores items runs through a recording item store, and no name it wrote for another
// record may be taken as a user id.

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "account/facade_test_support.hpp"
#include "core/storage/keychain_manager.hpp"
#include "support/forwarding_item_store.hpp"
#include "velqo/v1/flows/velqo_v1_sdk.hpp"
#include "velqo_localservice/v1_reference_flow.hpp"
#include "velqo_localservice/v4_peer.hpp"

namespace velqo::testing {
namespace {

// Keeps the service and account of every generic-password item written through it.
class RecordingItemStore : public ForwardingItemStore {
 public:
  using ForwardingItemStore::ForwardingItemStore;

  platform::OSStatus addGenericPassword(const std::string& service, const std::string& account,
                                        const Bytes& data, platform::Accessibility accessibility) override {
    record(service, account);
    return ForwardingItemStore::addGenericPassword(service, account, data, accessibility);
  }
  platform::OSStatus replaceGenericPassword(const std::string& service, const std::string& account,
                                            const Bytes& data,
                                            platform::Accessibility accessibility) override {
    record(service, account);
    return ForwardingItemStore::replaceGenericPassword(service, account, data, accessibility);
  }

  /// The accounts written in the service since the last call.
  std::set<std::string> takeAccounts(const std::string& service) {
    std::lock_guard lock(mutex_);
    return std::exchange(written_[service], {});
  }

 private:
  void record(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    written_[service].insert(account);
  }

  std::mutex mutex_;
  std::map<std::string, std::set<std::string>> written_;
};

class RecordNamesTest : public FacadeTest {
 protected:
  /// A V1 sign-in with configuration cfg1 against the reference flow, to its completion.
  void signInWithV1(const std::string& identifier) {
    auto v1 = VelqoV1SDK::create("cfg1", v1Flow.baseURL(), std::nullopt, std::nullopt, false,
                                 VelqoV1PrimaryMethodSelectionPolicy::automaticFromIdentifier);
    std::vector<VelqoV1FlowUpdate::Case> updates;
    v1->flow()->setOnUpdate([&](const VelqoV1FlowUpdate& update) {
      updates.push_back(update.kind());
      if (const auto* prompt = update.as<VelqoV1FlowUpdate::Prompt>();
          prompt && prompt->prompt.kind() == VelqoV1UserPrompt::Case::enterCode) {
        v1->flow()->submitCode("123456");
      }
    });
    v1->start(VelqoV1FlowType::signin, identifier);
    const bool ended = runUntil([&] {
      return !updates.empty() && (updates.back() == VelqoV1FlowUpdate::Case::completed ||
                                  updates.back() == VelqoV1FlowUpdate::Case::error);
    });
    v1->flow()->setOnUpdate({});
    ASSERT_TRUE(ended);
    ASSERT_EQ(updates.back(), VelqoV1FlowUpdate::Case::completed);
  }
  void registerWithV4(const std::string& user) {
    auto callback = std::make_shared<RecordingCallback>();
    sdk->authenticateV4(user, callback);
    ASSERT_TRUE(callback->waitFor(1));
    ASSERT_EQ(callback->last().kind, "otp") << callback->last().second;
    sdk->submitOtpV4(v4.otpFor(user).value_or(""));
    ASSERT_TRUE(callback->waitFor(2));
    ASSERT_EQ(callback->last().kind, "success") << callback->last().second;
  }

  localservice::V4Peer v4{service};
  localservice::LocalService v1Service;
  localservice::V1ReferenceFlow v1Flow{v1Service, [] {
                                         localservice::V1ReferenceOptions options;
                                         options.developmentCode = "123456";
                                         return options;
                                       }()};
  std::shared_ptr<RecordingItemStore> recorder = std::make_shared<RecordingItemStore>(items);
};

TEST_F(RecordNamesTest, NoNameTheFlowsWriteForAnotherRecordIsAUsableUserId) {
  platform::setItemStore(recorder);
  const std::string defaultService = KeychainManager::serviceName();
  const std::set<std::string> ownIds = {"bob@example.com", "carol@example.com", "dave@example.com"};
  const std::pair<const char*, std::function<void()>> flows[] = {
      {"V1 sign-in", [&] { signInWithV1("alice@example.com"); }},
      {"V4 registration", [&] { registerWithV4("bob@example.com"); }},
      {"V5 registration", [&] { signIn("carol@example.com"); }},
      {"token store",
       [&] { ASSERT_TRUE(sdk->storeBackendOAuthTokens("access", "refresh", "dave@example.com")); }},
  };
  for (const auto& [name, run] : flows) {
    SCOPED_TRACE(name);
    ASSERT_NO_FATAL_FAILURE(run());
    std::size_t others = 0;
    for (const auto& account : recorder->takeAccounts(defaultService)) {
      if (ownIds.contains(account)) continue;
      ++others;
      EXPECT_FALSE(VelqoSDK::isUsableUserId(account)) << account;
    }
    EXPECT_GT(others, 0u) << "the flow wrote no record under another name";
  }
  for (const auto& id : ownIds) EXPECT_TRUE(VelqoSDK::isUsableUserId(id)) << id;
  // Ids that merely resemble those names stay usable.
  for (const std::string id :
       {"lastuser2", "last", "velqo.v1.device", "velqo.v1.devices.alice@example.com+cfg1",
        "alice@example.com+cfg1", "bob@example.com_jwtAccessToken2", "bob@example.com_jwtaccesstoken",
        "bob@example.com_tokenId_v4", "_persistentDeviceToken_v3", "Ad\u00e9le@example.com"}) {
    EXPECT_TRUE(VelqoSDK::isUsableUserId(id)) << id;
  }
}

}  // namespace
}  // namespace velqo::testing
