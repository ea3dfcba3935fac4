#pragma once

// VelqoV1JSONValue: a free JSON value (device signals, retry-action objects).

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "velqo/export.hpp"
#include "velqo/v1/protocol/json_coding.hpp"

namespace velqo {

class VelqoV1JSONValue;

/// A JSON object: members kept in the order they were added. Keys are expected to be
/// unique: `set` replaces the value of an existing key in place, and when a hand-built
/// object repeats a key anyway, lookups and encoding use the last value.
/// Equality ignores member order: two objects are equal when they hold the same number of
/// members and every key of one is in the other with an equal value.
class VELQO_API VelqoV1JSONObject {
 public:
  using Entry = std::pair<std::string, VelqoV1JSONValue>;
  using const_iterator = std::vector<Entry>::const_iterator;

  VelqoV1JSONObject() = default;
  VelqoV1JSONObject(std::initializer_list<Entry> entries);

  /// Adds the member, or replaces the value of an existing member with that key.
  void set(std::string key, VelqoV1JSONValue value);
  /// The value under `key` (the last one if the key repeats), or nullptr.
  const VelqoV1JSONValue* find(std::string_view key) const noexcept;
  bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

  // Defined below, once VelqoV1JSONValue is complete.
  std::size_t size() const noexcept;
  bool empty() const noexcept;
  const_iterator begin() const noexcept;
  const_iterator end() const noexcept;
  const std::vector<Entry>& entries() const noexcept { return entries_; }

  friend VELQO_API bool operator==(const VelqoV1JSONObject& a, const VelqoV1JSONObject& b);

 private:
  std::vector<Entry> entries_;
};

/// A JSON array: elements in order; equality compares element by element.
using VelqoV1JSONArray = std::vector<VelqoV1JSONValue>;

/// A free JSON value: string, number (always held as a double), bool, object, array or
/// null. A plain value, copied freely. Default-constructed it is null.
class VELQO_API VelqoV1JSONValue {
 public:
  /// The cases, in declaration order.
  enum class Kind { string, number, boolean, object, array, null };

  VelqoV1JSONValue() noexcept = default;

  static VelqoV1JSONValue string(std::string value);
  static VelqoV1JSONValue number(double value);
  static VelqoV1JSONValue boolean(bool value);
  static VelqoV1JSONValue object(VelqoV1JSONObject value);
  static VelqoV1JSONValue array(VelqoV1JSONArray value);
  static VelqoV1JSONValue null() { return VelqoV1JSONValue(); }

  Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
  bool isNull() const noexcept { return kind() == Kind::null; }

  /// The payload when the value is of that case, else nullptr / nothing.
  const std::string* stringValue() const noexcept { return std::get_if<std::string>(&value_); }
  std::optional<double> numberValue() const noexcept;
  std::optional<bool> boolValue() const noexcept;
  const VelqoV1JSONObject* objectValue() const noexcept { return std::get_if<VelqoV1JSONObject>(&value_); }
  const VelqoV1JSONArray* arrayValue() const noexcept { return std::get_if<VelqoV1JSONArray>(&value_); }

  /// Compact JSON text. Numbers that are whole and within +-2^53 are written without a
  /// fraction ("3"), others in shortest round-trip form ("0.1"). Object members keep their
  /// order. Throws VelqoV1JSONCodingError (invalidValue) for a NaN or infinite number or a
  /// text that is not valid UTF-8.
  std::string toJSONText() const;
  /// Any JSON text (a top-level scalar too). Objects read from text come in ascending key
  /// order (order carries no meaning); a repeated key keeps its last value. Throws
  /// VelqoV1JSONCodingError (dataCorrupted) for text that is not JSON, that nests deeper
  /// than 256 levels, or whose numbers overflow a double.
  static VelqoV1JSONValue fromJSONText(std::string_view json);

  /// Same case and equal payloads: texts by content, numbers numerically (so NaN is never
  /// equal), objects regardless of member order, arrays element by element.
  friend VELQO_API bool operator==(const VelqoV1JSONValue& a, const VelqoV1JSONValue& b);

 private:
  using Storage =
      std::variant<std::string, double, bool, VelqoV1JSONObject, VelqoV1JSONArray, std::monostate>;
  explicit VelqoV1JSONValue(Storage value) : value_(std::move(value)) {}
  Storage value_{std::monostate{}};
};

inline std::size_t VelqoV1JSONObject::size() const noexcept {
  return entries_.size();
}
inline bool VelqoV1JSONObject::empty() const noexcept {
  return entries_.empty();
}
inline VelqoV1JSONObject::const_iterator VelqoV1JSONObject::begin() const noexcept {
  return entries_.begin();
}
inline VelqoV1JSONObject::const_iterator VelqoV1JSONObject::end() const noexcept {
  return entries_.end();
}

inline VelqoV1JSONObject::VelqoV1JSONObject(std::initializer_list<Entry> entries) {
  for (const auto& entry : entries) set(entry.first, entry.second);
}

template <>
VELQO_API VelqoV1JSONValue decodeV1JSON<VelqoV1JSONValue>(std::string_view json);

}  // namespace velqo
