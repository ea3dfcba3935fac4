// The Er1r2 and last-user keychain records shared by the account components.

#include <gtest/gtest.h>

#include "account/records/last_user_record.hpp"
#include "account/utils/velqo_framework_internal_utils.hpp"
#include "core/storage/keychain_manager.hpp"

namespace velqo {
namespace {

void storeRaw(const std::string& account, const std::string& text) {
  ASSERT_TRUE(KeychainManager::save(bytesOf(text), KeychainManager::serviceName(), account));
}

TEST(InternalUtilsRecords, Er1r2AndLastUserRoundTripAsCompactJson) {
  const auto utils = VelqoFrameworkInternalUtils::shared();
  ASSERT_TRUE(utils->saveEr1r2ToKeychain("AAAA/+==", "user@example.com"));
  EXPECT_EQ(utils->getEr1r2FromKeychain("user@example.com"), "AAAA/+==");
  EXPECT_EQ(KeychainManager::getData(KeychainManager::serviceName(), "user@example.com"),
            bytesOf(R"({"encpr1r2":"AAAA/+=="})"));
  EXPECT_FALSE(utils->getEr1r2FromKeychain("User@example.com"));  // the user id is taken as is

  ASSERT_TRUE(LastUserRecord::save("alice"));
  EXPECT_EQ(LastUserRecord::load(), "alice");
  EXPECT_EQ(KeychainManager::getData(KeychainManager::serviceName(), "lastuser"),
            bytesOf(R"({"username":"alice"})"));
  LastUserRecord::clear();
  EXPECT_FALSE(LastUserRecord::load());
  EXPECT_FALSE(LastUserRecord::save("\xFF"));  // not UTF-8: nothing to serialise
}

TEST(InternalUtilsRecords, UnreadableRecordsReadAsNothing) {
  const auto utils = VelqoFrameworkInternalUtils::shared();
  for (const char* stored : {R"({"username":42})", R"(["alice"])", "not json", R"({"name":"alice"})"}) {
    storeRaw("lastuser", stored);
    EXPECT_FALSE(LastUserRecord::load()) << stored;
    storeRaw("bob", stored);
    EXPECT_FALSE(utils->getEr1r2FromKeychain("bob")) << stored;
  }
}

}  // namespace
}  // namespace velqo
