#pragma once

// JSON records kept as generic-password items of the item store ("keychain"): the one way the
// library loads, saves and removes such a record (not installed). Stored records carry secrets,
// so the item's bytes, the parsed document and every intermediate text are wiped once used.

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/transport/json_codec.hpp"
#include "velqo/platform/bytes.hpp"
#include "velqo/platform/error.hpp"
#include "velqo/platform/result.hpp"

namespace velqo {

/// How a record's text writes "/". Each record keeps the form it has always been stored in:
/// most write "\/" (as a default encoder does), the one-text records of the account layer a
/// bare "/". Readers accept both.
enum class Slashes { plain, escaped };

/// Overwrites every text value of a JSON document (keys stay). Works on ordered and unordered
/// documents alike.
template <class Json>
void wipeTexts(Json& document) noexcept {
  if (document.is_string()) {
    wipe(document.template get_ref<std::string&>());
  } else if (document.is_structured()) {
    for (auto& element : document) wipeTexts(element);
  }
}

/// Wipes every text of the referenced document when the scope ends (also on exceptions).
template <class Json>
class ScopedTextWipe {
 public:
  explicit ScopedTextWipe(Json& document) noexcept : document_(document) {}
  ~ScopedTextWipe() { wipeTexts(document_); }
  ScopedTextWipe(const ScopedTextWipe&) = delete;
  ScopedTextWipe& operator=(const ScopedTextWipe&) = delete;

 private:
  Json& document_;
};

/// The bytes of a stored item, wiped when released. Move-only.
class StoredText {
 public:
  explicit StoredText(Bytes bytes) noexcept : bytes_(std::move(bytes)) {}
  StoredText(StoredText&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
  StoredText& operator=(StoredText&& other) noexcept;
  StoredText(const StoredText&) = delete;
  StoredText& operator=(const StoredText&) = delete;
  ~StoredText() { wipe(bytes_); }

  [[nodiscard]] const Bytes& bytes() const noexcept { return bytes_; }
  [[nodiscard]] std::string_view text() const noexcept {
    return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
  }

 private:
  Bytes bytes_;
};

/// A parsed stored record whose texts are wiped when released. Move-only.
class StoredJson {
 public:
  explicit StoredJson(json::Value document) noexcept : document_(std::move(document)) {}
  StoredJson(StoredJson&& other) noexcept : document_(std::move(other.document_)) {}
  StoredJson& operator=(StoredJson&& other) noexcept;
  StoredJson(const StoredJson&) = delete;
  StoredJson& operator=(const StoredJson&) = delete;
  ~StoredJson() { wipeTexts(document_); }

  [[nodiscard]] const json::Value& document() const noexcept { return document_; }

 private:
  json::Value document_;
};

/// The compact JSON text of the document with "/" written as `slashes` says. Consumes the
/// document: its texts are wiped once written, as is the unescaped intermediate text. Fails
/// with an encoding error when a text is not valid UTF-8. Throws only std::bad_alloc.
[[nodiscard]] Result<std::string, platform::PlatformError> compactJson(json::Value document, Slashes slashes);

/// The compact JSON text of a record through its `to_json` (keys in the order it sets them),
/// as compactJson writes it. A `to_json` that throws gives an encoding error.
template <class T>
[[nodiscard]] Result<std::string, platform::PlatformError> recordJson(const T& record, Slashes slashes) {
  json::Value document;
  try {
    // Filled in place: a to_json that throws inside Value's converting constructor would leak
    // the half-built value.
    nlohmann::adl_serializer<T>::to_json(document, record);
  } catch (const std::exception& e) {
    wipeTexts(document);
    return Result<std::string, platform::PlatformError>::failure(json::encodingError(e.what()));
  }
  return compactJson(std::move(document), slashes);
}

/// One record: the generic-password item of `service` named `account`. A small value type;
/// every call is one synchronous, thread-safe item-store step (KeychainManager) and throws
/// nothing but std::bad_alloc.
class KeychainRecord {
 public:
  KeychainRecord(std::string service, std::string account)
      : service_(std::move(service)), account_(std::move(account)) {}

  /// The item's bytes; nothing when there is no item or the store fails.
  [[nodiscard]] std::optional<StoredText> loadText() const;
  /// The item parsed as JSON (any top-level value, through the one strict reader and its
  /// nesting limit). Nothing when there is no item; a "DecodingError" dataCorrupted error when
  /// the text is not JSON.
  [[nodiscard]] std::optional<Result<StoredJson, platform::PlatformError>> load() const;
  /// Stores the text as the item's data, replacing any earlier item in one step, and wipes the
  /// text. True exactly when the item was stored.
  [[nodiscard]] bool saveText(std::string text) const;
  /// Removes the item; a missing item is no failure.
  void remove() const;

 private:
  std::string service_;
  std::string account_;
};

}  // namespace velqo
