#include "platform/identifier_text.hpp"

#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>

#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

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

bool isSpace(UChar32 c) {
  return c >= 0 && u_isUWhiteSpace(c);
}

// Most identifiers are plain ASCII. For them the Unicode rules reduce to ASCII ones (White_Space
// holds for tab through carriage return and the space; default lower-casing maps A-Z only), so
// they are handled without touching the Unicode tables at all.
bool isAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool isAsciiSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view trimAscii(std::string_view text) {
  while (!text.empty() && isAsciiSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isAsciiSpace(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

// ICU's UTF-8 iteration macros are written with C casts.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
std::string trimUnicodeWhitespace(std::string_view text) {
  if (isAscii(text)) return std::string(trimAscii(text));
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) throw std::length_error("text too long");
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t begin = 0;
  while (begin < length) {
    std::int32_t next = begin;
    UChar32 c;
    U8_NEXT(bytes, next, length, c);
    if (!isSpace(c)) break;
    begin = next;
  }
  std::int32_t end = length;
  while (end > begin) {
    std::int32_t previous = end;
    UChar32 c;
    U8_PREV(bytes, begin, previous, c);
    if (!isSpace(c)) break;
    end = previous;
  }
  return std::string(text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}
#pragma GCC diagnostic pop

std::string normalizedIdentifier(std::string_view identifier) {
  if (isAscii(identifier)) {
    std::string lowered(trimAscii(identifier));
    for (char& c : lowered) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
  }
  const std::string trimmed = trimUnicodeWhitespace(identifier);
  if (trimmed.empty()) return trimmed;
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
