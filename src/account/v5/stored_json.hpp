#pragma once

// Compact JSON of the records the V5 stores keep, byte for byte as earlier releases wrote them
// (not installed).

#include <algorithm>
#include <string>

#include "core/transport/json_codec.hpp"
#include "velqo/platform/bytes.hpp"

namespace velqo::detail {

/// The compact JSON of a record with every "/" written as "\/", the form stored records have
/// always had. Throws nothing: encoding failures come back as errors.
template <class T>
Result<std::string, platform::PlatformError> encodeStoredRecord(const T& record) {
  auto encoded = json::encode(record);
  if (!encoded) return encoded;
  std::string& text = encoded.value();
  std::string escaped;
  escaped.reserve(text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '/')));
  for (char c : text) {
    if (c == '/') escaped.push_back('\\');
    escaped.push_back(c);
  }
  wipe(text);
  return Result<std::string, platform::PlatformError>::success(std::move(escaped));
}

}  // namespace velqo::detail
