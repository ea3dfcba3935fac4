#include "velqo/v1/protocol/json_coding.hpp"

#include <utility>

namespace velqo {

namespace {

const char* caseName(VelqoV1JSONCodingError::Case c) {
  switch (c) {
    case VelqoV1JSONCodingError::Case::invalidValue:
      return "invalidValue";
    case VelqoV1JSONCodingError::Case::typeMismatch:
      return "typeMismatch";
    case VelqoV1JSONCodingError::Case::valueNotFound:
      return "valueNotFound";
    case VelqoV1JSONCodingError::Case::keyNotFound:
      return "keyNotFound";
    case VelqoV1JSONCodingError::Case::dataCorrupted:
      return "dataCorrupted";
  }
  return "unknown";
}

}  // namespace

VelqoV1JSONCodingError::VelqoV1JSONCodingError(Case c, std::string debugDescription)
    : PlatformError("VelqoV1JSONCodingError", static_cast<long>(c),
                    std::string(caseName(c)) + ": " + debugDescription),
      case_(c),
      debugDescription_(std::move(debugDescription)) {}

VelqoV1JSONCodingError VelqoV1JSONCodingError::invalidValue(std::string debugDescription) {
  return VelqoV1JSONCodingError(Case::invalidValue, std::move(debugDescription));
}
VelqoV1JSONCodingError VelqoV1JSONCodingError::typeMismatch(std::string debugDescription) {
  return VelqoV1JSONCodingError(Case::typeMismatch, std::move(debugDescription));
}
VelqoV1JSONCodingError VelqoV1JSONCodingError::valueNotFound(std::string debugDescription) {
  return VelqoV1JSONCodingError(Case::valueNotFound, std::move(debugDescription));
}
VelqoV1JSONCodingError VelqoV1JSONCodingError::keyNotFound(std::string key) {
  return VelqoV1JSONCodingError(Case::keyNotFound, "No value associated with key \"" + key + "\"");
}
VelqoV1JSONCodingError VelqoV1JSONCodingError::dataCorrupted(std::string debugDescription) {
  return VelqoV1JSONCodingError(Case::dataCorrupted, std::move(debugDescription));
}

}  // namespace velqo
