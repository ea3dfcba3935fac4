// The shared instance of VelqoFrameworkInternalUtils, its Er1r2 record and the rule for account
// user ids.

#include "account/records/text_record.hpp"
#include "account/utils/velqo_framework_internal_utils.hpp"
#include "core/storage/record_names.hpp"
#include "platform/utf8_validation.hpp"

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

std::optional<std::string> VelqoFrameworkInternalUtils::userIdRefusal(const std::string& userId) {
  // Diagnostic lines are text: an id that is not UTF-8 stays out of them.
  if (!platform::isWellFormedUtf8(userId)) return "a user id that is not UTF-8";
  if (record_names::userIdNamesAnotherRecord(userId))
    return "user id " + userId + ": it names another stored record";
  return std::nullopt;
}

}  // namespace velqo
