#pragma once

// URL parsing and building through libcurl's URL API (not installed).

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velqo::platform {

/// A parsed absolute URL. Cheap to copy.
class Url {
 public:
  /// Parses an absolute URL with a scheme ("https://host/path?x=1"); nothing on failure.
  static std::optional<Url> parse(const std::string& text);

  const std::string& text() const noexcept { return text_; }  ///< normalised absolute form
  std::string scheme() const;
  std::string host() const;
  std::optional<int> port() const;
  std::string path() const;  ///< percent-encoded, "/" at least
  std::optional<std::string> query() const;
  std::optional<std::string> fragment() const;
  /// Query items in order, decoded ("+" stays "+"); an item without "=" has no value.
  std::vector<std::pair<std::string, std::optional<std::string>>> queryItems() const;

  /// Appends one path segment (a "/" is inserted when the path does not end with one;
  /// the segment is percent-encoded except for "/").
  Url appendingPathComponent(const std::string& segment) const;

  friend bool operator==(const Url& a, const Url& b) { return a.text_ == b.text_; }

 private:
  explicit Url(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

/// Percent-decoding ("%41" -> "A"); nothing for a malformed escape.
std::optional<std::string> percentDecode(const std::string& text);

}  // namespace velqo::platform
