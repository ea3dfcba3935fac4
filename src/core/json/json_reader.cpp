#include "core/json/json_reader.hpp"

#include <new>

namespace velqo::json {

namespace {

template <class Document>
std::optional<Document> read(std::string_view text) {
  if (nestsDeeperThan(text, maxNestingDepth)) return std::nullopt;
  try {
    Document document = Document::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded()) return std::nullopt;
    return document;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return std::nullopt;  // the parser's own failures (invalid UTF-8 in a text, ...)
  }
}

}  // namespace

bool nestsDeeperThan(std::string_view text, std::size_t limit) noexcept {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
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

std::optional<nlohmann::json> readJson(std::string_view text) {
  return read<nlohmann::json>(text);
}

std::optional<nlohmann::ordered_json> readOrderedJson(std::string_view text) {
  return read<nlohmann::ordered_json>(text);
}

}  // namespace velqo::json
