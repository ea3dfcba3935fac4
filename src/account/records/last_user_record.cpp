#include "account/records/last_user_record.hpp"

#include "account/records/text_record.hpp"

namespace velqo {

namespace {

constexpr detail::TextRecord kRecord{"username"};

}  // namespace

bool LastUserRecord::save(const std::string& user) {
  return kRecord.save(account, user);
}

std::optional<std::string> LastUserRecord::load() {
  return kRecord.load(account);
}

void LastUserRecord::clear() {
  kRecord.remove(account);
}

}  // namespace velqo
