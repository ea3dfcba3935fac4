#include "core/transport/json_codec.hpp"

#include <new>
#include <string>

namespace velqo::json {
// True when objects and arrays nest deeper than `limit` (brackets inside strings ignored).
bool nestsDeeperThan(std::string_view text, std::size_t limit) noexcept {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return true;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return false;
}

DecodeError& DecodeError::underKey(std::string_view key) {
  std::string prefix(key);
  if (!path_.empty() && path_.front() != '[') prefix += '.';
  path_ = prefix + path_;
  return *this;
}

DecodeError& DecodeError::atIndex(std::size_t index) {
  std::string prefix = "[" + std::to_string(index) + "]";
  if (!path_.empty() && path_.front() != '[') prefix += '.';
  path_ = prefix + path_;
  return *this;
}

platform::PlatformError DecodeError::toPlatformError() const {
  if (path_.empty()) return decodingError(failure_, reason_);
  return decodingError(failure_, "\"" + path_ + "\": " + reason_);
}

platform::PlatformError decodingError(DecodeFailure failure, const std::string& detail) {
  return platform::PlatformError(decodingDomain, static_cast<long>(failure),
                                 "The data couldn't be decoded: " + detail);
}

platform::PlatformError encodingError(const std::string& detail) {
  return platform::PlatformError(encodingDomain, encodingInvalidValue,
                                 "The data couldn't be encoded: " + detail);
}

Result<Value, platform::PlatformError> parse(std::string_view text) {
  using R = Result<Value, platform::PlatformError>;
  if (nestsDeeperThan(text, maxNestingDepth)) {
    return R::failure(decodingError(DecodeFailure::dataCorrupted, "JSON nested too deeply"));
  }
  try {
    return R::success(Value::parse(text.begin(), text.end()));
  } catch (const nlohmann::json::parse_error& e) {
    return R::failure(decodingError(DecodeFailure::dataCorrupted,
                                    "not valid JSON (at byte " + std::to_string(e.byte) + ")"));
  } catch (const std::exception& e) {
    return R::failure(decodingError(DecodeFailure::dataCorrupted, e.what()));
  }
}

platform::PlatformError decodingErrorFromCurrentException() {
  try {
    throw;
  } catch (const DecodeError& e) {
    return e.toPlatformError();
  } catch (const nlohmann::json::out_of_range& e) {
    return decodingError(DecodeFailure::keyNotFound, e.what());
  } catch (const nlohmann::json::type_error& e) {
    return decodingError(DecodeFailure::typeMismatch, e.what());
  } catch (const std::bad_alloc&) {
    return decodingError(DecodeFailure::dataCorrupted, "out of memory");
  } catch (const std::exception& e) {
    return decodingError(DecodeFailure::dataCorrupted, e.what());
  } catch (...) {
    return decodingError(DecodeFailure::dataCorrupted, "unknown failure");
  }
}

}  // namespace velqo::json
