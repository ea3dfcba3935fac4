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
  /// Parses an absolute URL with a scheme and an authority ("https://host/path?x=1",
  /// "myapp://callback?code=x"); nothing on failure, including for a "%" that does not start
  /// a two-digit escape.
  [[nodiscard]] static std::optional<Url> parse(const std::string& text);

  const std::string& text() const noexcept { return text_; }  ///< normalised absolute form
  std::string scheme() const;
  std::string host() const;
  std::optional<int> port() const;
  std::string path() const;  ///< percent-encoded, "/" at least
  std::optional<std::string> query() const;
  std::optional<std::string> fragment() const;
  /// Query items in order, decoded ("+" stays "+"); an item without "=" has no value.
  std::vector<std::pair<std::string, std::optional<std::string>>> queryItems() const;

  /// Appends one path segment, keeping query and fragment: a "/" is inserted when neither the
  /// path ends nor the segment starts with one; characters that may not appear in a path
  /// ("?", "#", "%", spaces, non-ASCII, ...) are percent-encoded, "/" is kept. An empty
  /// segment, or one that makes the URL invalid, leaves the URL unchanged.
  Url appendingPathComponent(const std::string& segment) const;

  friend bool operator==(const Url& a, const Url& b) { return a.text_ == b.text_; }

 private:
  explicit Url(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

/// Percent-decoding ("%41" -> "A"); nothing for a malformed escape.
[[nodiscard]] std::optional<std::string> percentDecode(const std::string& text);

}  // namespace velqo::platform
