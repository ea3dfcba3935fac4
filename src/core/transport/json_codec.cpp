#include "core/transport/json_codec.hpp"

#include <new>
#include <string>

namespace velqo::json {
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
  if (std::optional<Value> document = readOrderedJson(text)) return R::success(std::move(*document));
  return R::failure(decodingError(DecodeFailure::dataCorrupted, "not valid JSON"));
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
