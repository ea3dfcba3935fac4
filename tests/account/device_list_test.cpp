// The device list through VelqoSDK over real HTTP, with the move of an older release's access
// token into the keychain.

#include "account/facade_test_support.hpp"
#include "core/storage/keychain_manager.hpp"

namespace velqo::testing {
namespace {

const std::string kAda = "ada@example.com";
const std::string kDevices =
    R"([{"id":"d1","platform":"iOS","browser_name":"Safari","model":"iPhone","os_version":"17.1",)"
    R"("login_time":"2026-01-01T12:00:00Z"},{"id":"d2","platform":"web"}])";

class DeviceListTest : public FacadeTest {
 protected:
  std::string fetch() {
    auto outcome = std::make_shared<RecordingCallback>();
    sdk->getDeviceDetails(outcome);
    EXPECT_TRUE(outcome->waitFor(1));
    EXPECT_EQ(outcome->count(), 1u);
    return outcome->last().kind;
  }
  std::optional<std::string> stored() { return storedText("devDetails"); }
};

TEST_F(DeviceListTest, MovesTheLegacyAccessTokenIntoTheKeychain) {
  ASSERT_TRUE(sdk->storeBackendOAuthTokens("stale", std::nullopt, kAda));
  KeychainManager::deleteJWTTokens(kAda);
  const std::string legacy = tokens->issue(kAda);
  defaults->setString("access_token", legacy);

  // A failed keychain save keeps the legacy value for the next fetch; the fetch still works.
  items->failNext(FaultyItemStore::Operation::add, platform::status::notAvailable);
  EXPECT_EQ(fetch(), "success");
  EXPECT_EQ(defaults->string("access_token"), legacy);
  EXPECT_FALSE(KeychainManager::getJWTAccessToken(kAda));

  EXPECT_EQ(fetch(), "success");
  EXPECT_EQ(KeychainManager::getJWTAccessToken(kAda), legacy);
  EXPECT_FALSE(defaults->string("access_token"));
}

TEST_F(DeviceListTest, StoresTheDevicesAsCompactJsonAndFailuresKeepTheEarlierList) {
  signIn(kAda);
  devices.setDevices(kAda, kDevices);
  ASSERT_EQ(fetch(), "success");
  const auto earlier = stored();
  EXPECT_EQ(earlier, kDevices);  // the Device keys in their order, compact
  const localservice::Reply failures[] = {
      localservice::Reply::json(200, R"({"api_status":true,"message":"no data"})"),
      localservice::Reply::json(401, R"({"api_status":false,"data":[]})"),
      localservice::Reply::json(500, "oops"),
  };
  for (const auto& reply : failures) {
    devices.enqueueReply(reply);
    EXPECT_EQ(fetch(), "error") << reply.body;
    EXPECT_EQ(stored(), earlier);
  }
  devices.enqueueReply(localservice::Reply::json(200, R"({"data":[]})"));
  EXPECT_EQ(fetch(), "success");
  EXPECT_EQ(stored(), "[]");
}

TEST_F(DeviceListTest, OnlyStatus200StoresTheList) {
  signIn(kAda);
  devices.setDevices(kAda, kDevices);
  ASSERT_EQ(fetch(), "success");
  for (int status : {201, 202, 299}) {
    devices.enqueueReply(localservice::Reply::json(status, R"({"api_status":true,"data":[]})"));
    EXPECT_EQ(fetch(), "error") << status;
    EXPECT_EQ(stored(), kDevices) << status;
  }
}

TEST_F(DeviceListTest, FailsBeforeAnyRequestWithoutUserOrToken) {
  defaults->setString("access_token", "legacy");
  auto outcome = std::make_shared<RecordingCallback>();
  sdk->getDeviceDetails(outcome);  // no last user: the legacy value is not even looked at
  EXPECT_EQ(outcome->last().kind, "error");
  EXPECT_EQ(defaults->string("access_token"), "legacy");

  signIn(kAda);
  sdk->clearSessionTokens(kAda);
  defaults->remove("access_token");
  const auto before = service.requestCount();
  sdk->getDeviceDetails(outcome);
  EXPECT_EQ(outcome->count(), 2u);
  EXPECT_EQ(service.requestCount(), before);
}

}  // namespace
}  // namespace velqo::testing
