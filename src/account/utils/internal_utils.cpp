// The shared instance of VelqoFrameworkInternalUtils and its Er1r2 record.

#include "account/records/last_user_record.hpp"
#include "account/records/text_record.hpp"
#include "account/utils/velqo_framework_internal_utils.hpp"
#include "core/storage/keychain_manager.hpp"

namespace velqo {
namespace {

constexpr detail::TextRecord kEr1r2Record{"encpr1r2"};

}  // namespace

VelqoFrameworkInternalUtils::VelqoFrameworkInternalUtils(Passkey) noexcept {}

std::shared_ptr<VelqoFrameworkInternalUtils> VelqoFrameworkInternalUtils::shared() {
  static const auto instance = std::make_shared<VelqoFrameworkInternalUtils>(Passkey{});
  return instance;
}

std::optional<std::string> VelqoFrameworkInternalUtils::getEr1r2FromKeychain(
    const std::string& userId) const {
  return kEr1r2Record.load(userId);
}

bool VelqoFrameworkInternalUtils::saveEr1r2ToKeychain(const std::string& er1r2,
                                                      const std::string& userId) const {
  return kEr1r2Record.save(userId, er1r2);
}

bool VelqoFrameworkInternalUtils::userIdNamesAnotherRecord(const std::string& userId) {
  return userId == LastUserRecord::account || KeychainManager::userKeyNamesAnotherUsersItem(userId);
}

}  // namespace velqo
