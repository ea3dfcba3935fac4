#include <algorithm>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "platform/encoding.hpp"

#include "platform/url.hpp"
#include "v1/protocol/diagnostics.hpp"
#include "velqo/v1/flows/oauth_callback.hpp"

namespace velqo {
namespace {

bool isAlpha(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isHex(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Characters a URL reference may hold literally: unreserved, reserved and "%" (escapes are
// checked separately).
bool isUrlCharacter(char c) {
  if (isAlpha(c) || isDigit(c)) return true;
  return std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(c) != std::string_view::npos;
}

// The query of a URL reference (scheme ":" hier-part, or a relative reference), or nothing when
// the text is not a URL reference. An absent query gives an empty optional inside.
std::optional<std::optional<std::string_view>> splitQuery(std::string_view url) {
  bool seenFragment = false;
  for (std::size_t i = 0; i < url.size(); ++i) {
    const char c = url[i];
    if (!isUrlCharacter(c)) return std::nullopt;
    if (c == '%' && (url.size() - i < 3 || !isHex(url[i + 1]) || !isHex(url[i + 2]))) return std::nullopt;
    if (c == '#') {
      if (seenFragment) return std::nullopt;  // a fragment holds no second "#"
      seenFragment = true;
    }
  }
  // A ":" before any "/", "?" or "#" ends a scheme, which must be a letter followed by letters,
  // digits, "+", "-" or ".".
  const std::size_t firstDelimiter = url.find_first_of(":/?#");
  if (firstDelimiter != std::string_view::npos && url[firstDelimiter] == ':') {
    const std::string_view scheme = url.substr(0, firstDelimiter);
    if (scheme.empty() || !isAlpha(scheme.front())) return std::nullopt;
    for (char c : scheme) {
      if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
    }
  }
  const std::size_t fragment = url.find('#');
  const std::string_view beforeFragment = url.substr(0, fragment);
  const std::size_t question = beforeFragment.find('?');
  if (question == std::string_view::npos) return std::optional<std::string_view>();
  return std::optional<std::string_view>(beforeFragment.substr(question + 1));
}

struct QueryItem {
  std::string_view name;
  std::optional<std::string_view> value;
};

std::vector<QueryItem> queryItems(std::string_view query) {
  std::vector<QueryItem> items;
  if (query.empty()) return items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(query.find('&', start), query.size());
    const std::string_view item = query.substr(start, end - start);
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      items.push_back({item, std::nullopt});
    } else {
      items.push_back({item.substr(0, equals), item.substr(equals + 1)});
    }
    if (end == query.size()) break;
    start = end + 1;
  }
  return items;
}

std::optional<std::string> decoded(std::string_view text) {
  auto out = platform::percentDecode(std::string(text));
  if (!out || !platform::isValidUtf8(*out)) return std::nullopt;
  return out;
}

// The decoded value of the first item whose decoded name is exactly `name`: nothing when there
// is no such item; an empty optional inside when that item has no usable value.
std::optional<std::optional<std::string>> firstValue(const std::vector<QueryItem>& items,
                                                     std::string_view name) {
  for (const auto& item : items) {
    if (decoded(item.name) != std::optional<std::string>(name)) continue;
    if (!item.value) return std::optional<std::string>();
    return decoded(*item.value);
  }
  return std::nullopt;
}

}  // namespace

std::optional<VelqoV1OAuthCallback> VelqoV1OAuthCallbackParser::parse(std::string_view url) {
  auto query = splitQuery(url);
  if (!query || !*query) return std::nullopt;
  const std::vector<QueryItem> items = queryItems(**query);
  if (items.empty()) return std::nullopt;
  auto code = firstValue(items, "code");
  auto state = firstValue(items, "state");
  if (!code || !*code || (*code)->empty()) return std::nullopt;
  if (!state || !*state || (*state)->empty()) return std::nullopt;
  return VelqoV1OAuthCallback{std::move(**code), std::move(**state)};
}

}  // namespace velqo
