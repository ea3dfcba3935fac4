#pragma once

// The last signed-in user, kept for the V4 and V5 engines and the facade (internal).

#include <optional>
#include <string>

#include "core/storage/record_names.hpp"

namespace velqo {

/// The generic-password item "lastuser" of KeychainManager's default service, holding compact
/// JSON {"username": <user id>}. Every operation is synchronous, thread-safe and never throws;
/// a missing or unreadable record reads as nothing and a failed write returns false.
class LastUserRecord {
 public:
  LastUserRecord() = delete;

  /// The item account of the record.
  static constexpr const char* account = record_names::lastUser;

  /// Stores {"username": user}; whether the save succeeded (false also when the user id is
  /// not UTF-8).
  [[nodiscard]] static bool save(const std::string& user);
  /// The stored "username" text; nothing when there is no item, it is not a JSON object, or
  /// "username" is missing or not a text.
  [[nodiscard]] static std::optional<std::string> load();
  /// Removes the record (a missing record is no failure).
  static void clear();
};

}  // namespace velqo
