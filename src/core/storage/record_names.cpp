#include "core/storage/record_names.hpp"

namespace velqo::record_names {

namespace {

// An accepted user id U names its own items U and U + S for each per-user suffix S. U is
// neither a fixed name, nor ends in a suffix, nor starts with a key prefix; so U + S is another
// record's name only when a fixed name ends in S, when S ends in another suffix (U + S would
// be V + S' of another user V), or when S starts with the tail of a key prefix (U, shorter than
// the prefix, followed by S would start with it). None of these may hold.
constexpr bool ownNamesStayOwn() {
  for (const NameForm& own : allForms) {
    if (own.form != Form::userSuffix) continue;
    const std::string_view suffix = own.text;
    for (const NameForm& other : allForms) {
      switch (other.form) {
        case Form::userId:
          break;
        case Form::fixed:
          if (other.text.ends_with(suffix)) return false;
          break;
        case Form::userSuffix:
          if (other.text != suffix && (other.text.ends_with(suffix) || suffix.ends_with(other.text)))
            return false;
          break;
        case Form::keyPrefix:
          for (std::size_t start = 0; start < other.text.size(); ++start) {
            if (suffix.starts_with(other.text.substr(start))) return false;
          }
          break;
      }
    }
  }
  return true;
}

static_assert(ownNamesStayOwn(), "an accepted user id would name another record through its own items");

}  // namespace

bool userIdNamesAnotherRecord(std::string_view userId) noexcept {
  for (const NameForm& name : allForms) {
    switch (name.form) {
      case Form::userId:
        break;  // the user's own record
      case Form::fixed:
        if (userId == name.text) return true;
        break;
      case Form::userSuffix:
        if (userId.ends_with(name.text)) return true;
        break;
      case Form::keyPrefix:
        if (userId.starts_with(name.text)) return true;
        break;
    }
  }
  return false;
}

}  // namespace velqo::record_names
