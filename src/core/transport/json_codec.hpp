#pragma once

// JSON text <-> value records, with every failure turned into a platform error object
// (not installed). Records map through nlohmann `to_json`/`from_json` pairs over
// `json::Value` (an ordered JSON value, so objects encode in the order their keys are set);
// no nlohmann exception leaves `decode`, `decodeValue` or `encode`.

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/json/json_reader.hpp"

#include "velqo/platform/error.hpp"
#include "velqo/platform/result.hpp"

namespace velqo::json {

using Value = nlohmann::ordered_json;

/// Error domains of decoding and encoding failures.
inline constexpr const char* decodingDomain = "DecodingError";
inline constexpr const char* encodingDomain = "EncodingError";

/// Codes of the decoding domain.
enum class DecodeFailure : long {
  keyNotFound = 1,    ///< a required key is missing
  valueNotFound = 2,  ///< a required value is null
  typeMismatch = 3,   ///< a value has the wrong JSON type
  dataCorrupted = 4,  ///< not JSON, invalid UTF-8, too deeply nested, or out of range
};

/// Code of the encoding domain: a value that cannot be written as JSON (a text that is not
/// valid UTF-8, a free JSON field holding text that is not JSON).
inline constexpr long encodingInvalidValue = 1;

/// Thrown by the field helpers while a record decodes; caught by `decodeValue`. Carries the
/// path of the offending value ("data[2].id") for the description.
class DecodeError : public std::exception {
 public:
  DecodeError(DecodeFailure failure, std::string reason) : failure_(failure), reason_(std::move(reason)) {}

  DecodeFailure failure() const noexcept { return failure_; }
  const std::string& path() const noexcept { return path_; }
  /// Prepends an object key or an array index to the path (used while unwinding).
  DecodeError& underKey(std::string_view key);
  DecodeError& atIndex(std::size_t index);

  const char* what() const noexcept override { return reason_.c_str(); }
  platform::PlatformError toPlatformError() const;

 private:
  DecodeFailure failure_;
  std::string reason_;
  std::string path_;
};

/// A platform error of the decoding domain: "The data couldn't be decoded: " + detail.
platform::PlatformError decodingError(DecodeFailure failure, const std::string& detail);
/// A platform error of the encoding domain: "The data couldn't be encoded: " + detail.
platform::PlatformError encodingError(const std::string& detail);

/// Parses JSON text (any top-level value). Malformed text, invalid UTF-8 and nesting deeper
/// than `maxNestingDepth` fail with `dataCorrupted`.
Result<Value, platform::PlatformError> parse(std::string_view text);

/// Turns whatever a `from_json` threw into a decoding error.
platform::PlatformError decodingErrorFromCurrentException();

/// Decodes a record from a parsed value through its `from_json`.
template <class T>
Result<T, platform::PlatformError> decodeValue(const Value& value) {
  try {
    return Result<T, platform::PlatformError>::success(value.template get<T>());
  } catch (...) {
    return Result<T, platform::PlatformError>::failure(decodingErrorFromCurrentException());
  }
}

/// Decodes a record from JSON text.
template <class T>
Result<T, platform::PlatformError> decode(std::string_view text) {
  auto parsed = parse(text);
  if (!parsed) return Result<T, platform::PlatformError>::failure(parsed.error());
  return decodeValue<T>(parsed.value());
}

/// Encodes a record through its `to_json`: compact (indent < 0) or pretty-printed with
/// `indent` spaces. Keys keep the order the record's `to_json` sets them in.
template <class T>
Result<std::string, platform::PlatformError> encode(const T& record, int indent = -1) {
  try {
    // Filled in place: a to_json that throws inside Value's converting constructor would leak
    // the half-built value.
    Value value;
    nlohmann::adl_serializer<T>::to_json(value, record);
    return Result<std::string, platform::PlatformError>::success(value.dump(indent));
  } catch (const std::exception& e) {
    return Result<std::string, platform::PlatformError>::failure(encodingError(e.what()));
  }
}

}  // namespace velqo::json
