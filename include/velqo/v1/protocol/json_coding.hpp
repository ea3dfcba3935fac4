#pragma once

// Errors of the V1 wire codec and the generic text decoder entry point.

#include <string>
#include <string_view>

#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"

namespace velqo {

/// A failure to encode a V1 wire value to JSON text or to decode one from JSON text.
/// Domain "VelqoV1JSONCodingError"; code = position of the case (invalidValue 0 ...
/// dataCorrupted 4). The description names the case, the key path where it is known, and
/// a short explanation.
class VELQO_API VelqoV1JSONCodingError : public platform::PlatformError {
 public:
  enum class Case {
    invalidValue,   ///< encoding: a value JSON cannot carry (a non-finite number, invalid UTF-8)
    typeMismatch,   ///< decoding: a value of another JSON type than required
    valueNotFound,  ///< decoding: a required value is null
    keyNotFound,    ///< decoding: a required key is missing
    dataCorrupted,  ///< decoding: not JSON, nested too deeply, or a value outside its domain
  };

  static VelqoV1JSONCodingError invalidValue(std::string debugDescription);
  static VelqoV1JSONCodingError typeMismatch(std::string debugDescription);
  static VelqoV1JSONCodingError valueNotFound(std::string debugDescription);
  /// `key` is the missing key (or a dotted path to it).
  static VelqoV1JSONCodingError keyNotFound(std::string key);
  static VelqoV1JSONCodingError dataCorrupted(std::string debugDescription);

  Case errorCase() const noexcept { return case_; }
  /// The explanation without the case name.
  const std::string& debugDescription() const noexcept { return debugDescription_; }

 private:
  VelqoV1JSONCodingError(Case c, std::string debugDescription);
  Case case_;
  std::string debugDescription_;
};

/// Decodes one V1 wire value of type T from JSON text. Specialised (declared next to each
/// type) for the records that the wire format lets the library read back; using it for any
/// other type fails to link. Throws VelqoV1JSONCodingError; never crashes on malformed,
/// deeply nested (more than 256 levels) or huge-number input.
template <class T>
T decodeV1JSON(std::string_view json);

}  // namespace velqo
