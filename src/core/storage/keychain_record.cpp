#include "core/storage/keychain_record.hpp"

#include <algorithm>

#include "core/storage/keychain_manager.hpp"

namespace velqo {

namespace {

// The text with every "/" written as "\/". A "/" can only stand inside a JSON string, so the
// replacement never touches the structure. Wipes the input.
std::string escapeSlashes(std::string& text) {
  std::string escaped;
  try {
    escaped.reserve(text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '/')));
    for (char c : text) {
      if (c == '/') escaped.push_back('\\');
      escaped.push_back(c);
    }
  } catch (...) {
    wipe(text);
    wipe(escaped);
    throw;
  }
  wipe(text);
  return escaped;
}

}  // namespace

StoredText& StoredText::operator=(StoredText&& other) noexcept {
  if (this != &other) {
    wipe(bytes_);
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
  }
  return *this;
}

StoredJson& StoredJson::operator=(StoredJson&& other) noexcept {
  if (this != &other) {
    wipeTexts(document_);
    document_ = std::move(other.document_);
  }
  return *this;
}

Result<std::string, platform::PlatformError> compactJson(json::Value document, Slashes slashes) {
  using R = Result<std::string, platform::PlatformError>;
  ScopedTextWipe wipeDocument(document);
  std::string text;
  try {
    text = document.dump();
    if (slashes == Slashes::escaped) text = escapeSlashes(text);
  } catch (const nlohmann::json::exception& e) {
    wipe(text);
    return R::failure(json::encodingError(e.what()));
  }
  return R::success(std::move(text));
}

std::optional<StoredText> KeychainRecord::loadText() const {
  auto data = KeychainManager::getData(service_, account_);
  if (!data) return std::nullopt;
  return StoredText(std::move(*data));
}

std::optional<Result<StoredJson, platform::PlatformError>> KeychainRecord::load() const {
  using R = Result<StoredJson, platform::PlatformError>;
  auto stored = loadText();
  if (!stored) return std::nullopt;
  auto parsed = json::parse(stored->text());
  if (!parsed) return R::failure(parsed.error());
  return R::success(StoredJson(std::move(parsed).value()));
}

bool KeychainRecord::saveText(std::string text) const {
  Bytes data;
  ScopedWipe wipeData(data);
  try {
    data = bytesOf(text);
  } catch (...) {
    wipe(text);
    throw;
  }
  wipe(text);
  return KeychainManager::save(data, service_, account_);
}

void KeychainRecord::remove() const {
  KeychainManager::deleteItem(service_, account_);
}

}  // namespace velqo
