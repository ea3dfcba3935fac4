#pragma once

// Records of the default keychain service that are a JSON object with one text (internal).

#include <optional>
#include <string>

namespace velqo::detail {

/// A generic-password item of KeychainManager's default service holding compact JSON with the
/// one key `key`, a text: {"<key>": text}, "/" written bare. The Er1r2 record and the last-user
/// record are kept this way. Synchronous, thread-safe, never throws.
struct TextRecord {
  const char* key;

  /// The stored text; nothing when there is no item, it is not JSON, the JSON is not an object,
  /// or the key is missing or not a text. The parsed record is wiped once read.
  [[nodiscard]] std::optional<std::string> load(const std::string& account) const;
  /// Stores {key: text} under the account; false when the text is not UTF-8 or the item is
  /// not written.
  [[nodiscard]] bool save(const std::string& account, const std::string& text) const;
  /// Removes the item; a missing item is no failure.
  void remove(const std::string& account) const;
};

}  // namespace velqo::detail
