#include "platform/url.hpp"

#include <algorithm>
#include <memory>
#include <string_view>

#include "platform/curl_global.hpp"
#include "platform/encoding.hpp"
#include "platform/openssl_raii.hpp"

namespace velqo::platform {

namespace {

using detail::CurluPtr;
// Text that libcurl allocated (curl_url_get results).
using CurlText = std::unique_ptr<char, detail::FreeWith<&curl_free>>;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Every "%" must start an escape of two hexadecimal digits.
bool percentEscapesWellFormed(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (text.size() - i < 3 || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) return false;
    i += 2;
  }
  return true;
}

// Characters that stand for themselves in a path segment, besides letters and digits:
// unreserved, sub-delimiters, ":" and "@" (RFC 3986 pchar), plus "/" so that a caller can
// append several segments at once.
constexpr std::string_view kPathPunctuation = "-._~!$&'()*+,;=:@/";

CurluPtr handleFor(const std::string& text) {
  detail::ensureCurlGlobalInit();
  CurluPtr handle(curl_url());
  if (!handle) return nullptr;
  // Custom schemes ("myapp://callback") are accepted; a text without a scheme is refused.
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return nullptr;
  }
  return handle;
}

std::optional<std::string> part(const std::string& text, CURLUPart which) {
  const CurluPtr handle = handleFor(text);
  if (!handle) return std::nullopt;
  char* raw = nullptr;
  if (curl_url_get(handle.get(), which, &raw, 0) != CURLUE_OK) {
    curl_free(raw);
    return std::nullopt;
  }
  const CurlText value(raw);
  return std::string(value.get());
}

std::optional<std::string> fullText(CURLU* handle) {
  char* raw = nullptr;
  if (curl_url_get(handle, CURLUPART_URL, &raw, 0) != CURLUE_OK) {
    curl_free(raw);
    return std::nullopt;
  }
  const CurlText value(raw);
  return std::string(value.get());
}

// Decoding of a query item's name or value. The URL's escapes were checked when it was
// parsed, so this cannot fail; the fallback keeps the raw text all the same.
std::string decodeQueryPart(const std::string& text) {
  return percentDecode(text).value_or(text);
}

}  // namespace

std::optional<Url> Url::parse(const std::string& text) {
  // libcurl reads C strings: an embedded NUL would silently cut the URL short.
  if (text.find('\0') != std::string::npos || !percentEscapesWellFormed(text)) return std::nullopt;
  const CurluPtr handle = handleFor(text);
  if (!handle) return std::nullopt;
  std::optional<std::string> normalised = fullText(handle.get());
  if (!normalised) return std::nullopt;
  return Url(std::move(*normalised));
}

std::string Url::scheme() const {
  return part(text_, CURLUPART_SCHEME).value_or(std::string());
}

std::string Url::host() const {
  return part(text_, CURLUPART_HOST).value_or(std::string());
}

std::optional<int> Url::port() const {
  const std::optional<std::string> text = part(text_, CURLUPART_PORT);
  if (!text) return std::nullopt;
  // libcurl has checked the port: decimal digits, at most 65535.
  int value = 0;
  for (const char c : *text) value = value * 10 + (c - '0');
  return value;
}

std::string Url::path() const {
  return part(text_, CURLUPART_PATH).value_or(std::string("/"));
}

std::optional<std::string> Url::query() const {
  return part(text_, CURLUPART_QUERY);
}

std::optional<std::string> Url::fragment() const {
  return part(text_, CURLUPART_FRAGMENT);
}

std::vector<std::pair<std::string, std::optional<std::string>>> Url::queryItems() const {
  std::vector<std::pair<std::string, std::optional<std::string>>> items;
  const std::optional<std::string> text = query();
  if (!text || text->empty()) return items;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(text->find('&', start), text->size());
    const std::string item = text->substr(start, end - start);
    const std::size_t equals = item.find('=');
    if (equals == std::string::npos) {
      items.emplace_back(decodeQueryPart(item), std::nullopt);
    } else {
      items.emplace_back(decodeQueryPart(item.substr(0, equals)), decodeQueryPart(item.substr(equals + 1)));
    }
    if (end == text->size()) break;
    start = end + 1;
  }
  return items;
}

Url Url::appendingPathComponent(const std::string& segment) const {
  if (segment.empty()) return *this;
  // The normalised text always reads "scheme://authority/path[?query][#fragment]", and the
  // authority holds no raw "/". The new text is spliced together here rather than set through
  // libcurl's path part, which would rewrite existing escapes in lower case ("%3F" -> "%3f").
  const std::size_t authorityStart = text_.find("://");
  if (authorityStart == std::string::npos) return *this;
  const std::size_t pathStart = text_.find('/', authorityStart + 3);
  if (pathStart == std::string::npos) return *this;
  const std::size_t pathEnd = std::min(text_.find_first_of("?#", pathStart), text_.size());

  std::string path = text_.substr(pathStart, pathEnd - pathStart);
  if (path.back() != '/' && segment.front() != '/') path.push_back('/');
  path += percentEncode(segment, kPathPunctuation);
  std::optional<Url> appended = parse(text_.substr(0, pathStart) + path + text_.substr(pathEnd));
  return appended ? std::move(*appended) : *this;
}

std::optional<std::string> percentDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (text.size() - i < 3) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>((high << 4) | low));
    i += 2;
  }
  return out;
}

}  // namespace velqo::platform
