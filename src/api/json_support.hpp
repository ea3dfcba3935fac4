#pragma once

// Field helpers for the REST records' to_json/from_json pairs (not installed).
//
// A record lists its fields once, in wire order, as a tuple of `field(key, &Record::member)`;
// `encodeFields` and `decodeFields` then give the whole pair:
// - a std::optional member is optional: left out when absent on encoding; absent or null on
//   decoding reads as absent;
// - any other member is required: missing fails with keyNotFound, null with valueNotFound;
// - a value of the wrong JSON type fails with typeMismatch (no conversions: a number is not
//   a text, 1 is not true, 1.5 is not an integer);
// - nested records decode through their own from_json; a failure inside fails the whole record.
// Failures are json::DecodeError exceptions that `decodeRecord` turns into decoding errors.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "core/transport/json_codec.hpp"

namespace velqo::json {

namespace detail {
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {
  using Inner = T;
};
template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {
  using Element = T;
};

/// "a string", "a number", ... for messages.
inline const char* describe(const Value& v) {
  switch (v.type()) {
    case Value::value_t::null:
      return "null";
    case Value::value_t::object:
      return "an object";
    case Value::value_t::array:
      return "an array";
    case Value::value_t::string:
      return "a string";
    case Value::value_t::boolean:
      return "a boolean";
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
    case Value::value_t::number_float:
      return "a number";
    default:
      return "an unsupported value";
  }
}

[[noreturn]] inline void mismatch(const char* expected, const Value& found) {
  throw DecodeError(DecodeFailure::typeMismatch,
                    std::string("expected ") + expected + ", found " + describe(found));
}
}  // namespace detail

/// Fails with typeMismatch unless the value is a JSON object.
inline void requireObject(const Value& value) {
  if (!value.is_object()) detail::mismatch("an object", value);
}

/// Converts one non-null JSON value to T with strict type checks.
template <class T>
T as(const Value& v) {
  if constexpr (std::is_same_v<T, std::string>) {
    if (!v.is_string()) detail::mismatch("a string", v);
    return v.get_ref<const std::string&>();
  } else if constexpr (std::is_same_v<T, bool>) {
    if (!v.is_boolean()) detail::mismatch("a boolean", v);
    return v.get<bool>();
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    if (v.is_number_unsigned()) {
      auto u = v.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        throw DecodeError(DecodeFailure::dataCorrupted, "number does not fit a 64-bit integer");
      }
      return static_cast<std::int64_t>(u);
    }
    if (v.is_number_integer()) return v.get<std::int64_t>();
    if (v.is_number_float()) {
      // A float with an integral value (5.0) is the same number; 5.5 is not an integer.
      double d = v.get<double>();
      if (std::trunc(d) != d || d < -9.2233720368547758e18 || d >= 9.2233720368547758e18) {
        throw DecodeError(DecodeFailure::dataCorrupted, "number is not a 64-bit integer");
      }
      return static_cast<std::int64_t>(d);
    }
    detail::mismatch("an integer", v);
  } else if constexpr (detail::IsVector<T>::value) {
    using E = typename detail::IsVector<T>::Element;
    if (!v.is_array()) detail::mismatch("an array", v);
    T out;
    out.reserve(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
      try {
        if (v[i].is_null()) throw DecodeError(DecodeFailure::valueNotFound, "value is null");
        out.push_back(as<E>(v[i]));
      } catch (DecodeError& e) {
        e.atIndex(i);
        throw;
      }
    }
    return out;
  } else {
    // A record with its own from_json. Records mapped with nlohmann's checked accessors
    // throw nlohmann exceptions; they become decoding errors here so the path is kept.
    try {
      return v.get<T>();
    } catch (const nlohmann::json::out_of_range& e) {
      throw DecodeError(DecodeFailure::keyNotFound, e.what());
    } catch (const nlohmann::json::type_error& e) {
      throw DecodeError(DecodeFailure::typeMismatch, e.what());
    }
  }
}

/// A required field.
template <class T>
T required(const Value& object, std::string_view key) {
  auto it = object.find(std::string(key));
  if (it == object.end()) throw DecodeError(DecodeFailure::keyNotFound, "missing key").underKey(key);
  try {
    if (it->is_null()) throw DecodeError(DecodeFailure::valueNotFound, "value is null");
    return as<T>(*it);
  } catch (DecodeError& e) {
    e.underKey(key);
    throw;
  }
}

/// An optional field: absent and null read as absent.
template <class T>
std::optional<T> optional(const Value& object, std::string_view key) {
  auto it = object.find(std::string(key));
  if (it == object.end() || it->is_null()) return std::nullopt;
  try {
    return as<T>(*it);
  } catch (DecodeError& e) {
    e.underKey(key);
    throw;
  }
}

/// Sets a field (records through their to_json, filling the slot in place so a to_json that
/// throws leaves nothing half-built behind).
template <class T>
void put(Value& object, std::string_view key, const T& value) {
  nlohmann::adl_serializer<T>::to_json(object[std::string(key)], value);
}

/// Sets a field only when the optional holds a value.
template <class T>
void putIfPresent(Value& object, std::string_view key, const std::optional<T>& value) {
  if (value) put(object, key, *value);
}

/// One field of a record: its JSON key and the member it maps to.
template <class R, class M>
struct Field {
  std::string_view key;
  M R::*member;
};
template <class R, class M>
constexpr Field<R, M> field(std::string_view key, M R::*member) {
  return Field<R, M>{key, member};
}

/// Writes the listed fields in list order into a fresh object.
template <class R, class... Fs>
void encodeFields(Value& out, const R& record, const std::tuple<Fs...>& fields) {
  out = Value::object();
  std::apply(
      [&](const auto&... f) {
        (
            [&] {
              using M = std::remove_cvref_t<decltype(record.*(f.member))>;
              if constexpr (detail::IsOptional<M>::value) {
                putIfPresent(out, f.key, record.*(f.member));
              } else {
                put(out, f.key, record.*(f.member));
              }
            }(),
            ...);
      },
      fields);
}

/// Reads the listed fields from an object, enforcing required fields and types.
template <class R, class... Fs>
void decodeFields(const Value& in, R& record, const std::tuple<Fs...>& fields) {
  requireObject(in);
  std::apply(
      [&](const auto&... f) {
        (
            [&] {
              using M = std::remove_cvref_t<decltype(record.*(f.member))>;
              if constexpr (detail::IsOptional<M>::value) {
                record.*(f.member) = optional<typename detail::IsOptional<M>::Inner>(in, f.key);
              } else {
                record.*(f.member) = required<M>(in, f.key);
              }
            }(),
            ...);
      },
      fields);
}

}  // namespace velqo::json

namespace velqo {

/// Decodes a REST record from JSON text; any failure is a "DecodingError" platform error
/// whose description names the offending key.
template <class T>
Result<T, platform::PlatformError> decodeRecord(std::string_view text) {
  return json::decode<T>(text);
}

/// Encodes a REST record as compact JSON (indent < 0) or pretty-printed JSON.
template <class T>
Result<std::string, platform::PlatformError> encodeRecord(const T& record, int indent = -1) {
  return json::encode(record, indent);
}

}  // namespace velqo
