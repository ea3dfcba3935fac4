#include "platform/identifier_text.hpp"

#include "platform/encoding.hpp"

#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>

#include <unicode/ucasemap.h>

namespace velqo::platform {

namespace {

struct CaseMapCloser {
  void operator()(UCaseMap* map) const noexcept { ucasemap_close(map); }
};

// The root locale's case map: default case mapping, no language-specific rules.
std::unique_ptr<UCaseMap, CaseMapCloser> openRootCaseMap() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCaseMap, CaseMapCloser> map(ucasemap_open("", 0, &status));
  if (U_FAILURE(status) || !map) throw std::runtime_error("the Unicode case map could not be opened");
  return map;
}

// Most identifiers are plain ASCII. For them default lower-casing maps A-Z only, so they are
// handled without touching the Unicode tables at all.
bool isAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::string normalizedIdentifier(std::string_view identifier) {
  std::string trimmed = trimWhitespace(identifier);
  if (isAscii(trimmed)) {
    for (char& c : trimmed) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return trimmed;
  }
  // One map per thread: a case map is not safe for concurrent use, and opening one costs
  // more than the mapping itself.
  thread_local const std::unique_ptr<UCaseMap, CaseMapCloser> map = openRootCaseMap();
  if (trimmed.size() > static_cast<std::size_t>(INT32_MAX / 4))
    throw std::length_error("identifier too long");
  const auto length = static_cast<std::int32_t>(trimmed.size());
  // Lower-casing grows a text by at most three times (one unit to three).
  std::string lowered(trimmed.size() * 3 + 4, '\0');
  UErrorCode status = U_ZERO_ERROR;
  const std::int32_t written = ucasemap_utf8ToLower(
      map.get(), lowered.data(), static_cast<std::int32_t>(lowered.size()), trimmed.data(), length, &status);
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status) || written < 0) return trimmed;
  lowered.resize(static_cast<std::size_t>(written));
  return lowered;
}

}  // namespace velqo::platform
