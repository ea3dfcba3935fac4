#pragma once

// The user information of a push notification, as the host application received it.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "velqo/export.hpp"

namespace velqo {

/// One value of a push payload: null, a flag, a number, a text, an array or an object (members
/// in the order they were added). A plain value, copied freely; default-constructed it is null.
class VELQO_API VelqoPushValue {
 public:
  using Array = std::vector<VelqoPushValue>;
  using Member = std::pair<std::string, VelqoPushValue>;
  using Object = std::vector<Member>;
  enum class Kind { null, boolean, number, string, array, object };

  VelqoPushValue() noexcept = default;
  static VelqoPushValue boolean(bool value) { return VelqoPushValue(Storage(std::in_place_index<1>, value)); }
  static VelqoPushValue number(double value) {
    return VelqoPushValue(Storage(std::in_place_index<2>, value));
  }
  static VelqoPushValue string(std::string value) {
    return VelqoPushValue(Storage(std::in_place_index<3>, std::move(value)));
  }
  static VelqoPushValue array(Array value) {
    return VelqoPushValue(Storage(std::in_place_index<4>, std::move(value)));
  }
  static VelqoPushValue object(Object value) {
    return VelqoPushValue(Storage(std::in_place_index<5>, std::move(value)));
  }

  Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
  /// The payload when the value is of that kind, else nullptr.
  const bool* boolValue() const noexcept { return std::get_if<1>(&value_); }
  const double* numberValue() const noexcept { return std::get_if<2>(&value_); }
  const std::string* stringValue() const noexcept { return std::get_if<3>(&value_); }
  const Array* arrayValue() const noexcept { return std::get_if<4>(&value_); }
  const Object* objectValue() const noexcept { return std::get_if<5>(&value_); }

  friend bool operator==(const VelqoPushValue&, const VelqoPushValue&) = default;

 private:
  using Storage = std::variant<std::monostate, bool, double, std::string, Array, Object>;
  explicit VelqoPushValue(Storage value) : value_(std::move(value)) {}
  Storage value_;
};

/// The top-level object of a push notification's user information: keys to values of any kind.
/// Build it member by member from a decoded notification, or from the notification's JSON text.
class VELQO_API VelqoPushPayload {
 public:
  VelqoPushPayload() = default;
  explicit VelqoPushPayload(VelqoPushValue::Object members);

  /// Adds the member, or replaces the value of an existing one.
  void set(std::string key, VelqoPushValue value);
  /// The value under `key`, or nullptr.
  const VelqoPushValue* find(std::string_view key) const noexcept;
  const VelqoPushValue::Object& members() const noexcept { return members_; }

  /// The payload of a JSON object text ({"request_id": "...", "aps": {...}}); nothing when the
  /// text is not a JSON object, is malformed, or nests unreasonably deep. Numbers become doubles.
  [[nodiscard]] static std::optional<VelqoPushPayload> fromJSONText(std::string_view text);

  friend bool operator==(const VelqoPushPayload&, const VelqoPushPayload&) = default;

 private:
  VelqoPushValue::Object members_;
};

}  // namespace velqo
