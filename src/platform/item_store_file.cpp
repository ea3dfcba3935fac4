// File-backed item store: one file per item, named by the SHA-256 of the item's identity.
//
// Item file layout (all integers big-endian):
//   "VQI1"                    magic and format version
//   'G' | 'K'                 item kind
//   G: field service, field account, u8 accessibility, field data
//   K: field tag, u8 key type, u32 size in bits, u8 token, u8 permanent, u8 accessibility,
//      field key data
// where a field is a u32 length followed by that many bytes. The lookup attributes are
// stored too, so a file that belongs to another item (or to nobody) is recognised.

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.hpp"
#include "platform/item_store_internal.hpp"
#include "velqo/platform/item_store.hpp"

namespace velqo::platform {
namespace {

constexpr std::string_view kMagic = "VQI1";
constexpr std::uint8_t kGeneric = 'G';
constexpr std::uint8_t kKey = 'K';

// One lock for every file store of the process: each operation is one atomic step against
// every other, whichever store object it goes through.
std::mutex& storeMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0f]);
  }
  return hex;
}

// --- encoding -------------------------------------------------------------------------

class Writer {
 public:
  explicit Writer(std::uint8_t kind) : out_(kMagic.begin(), kMagic.end()) { out_.push_back(kind); }
  void u8(std::uint8_t v) { out_.push_back(v); }
  void u32(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out_.push_back(static_cast<std::uint8_t>((v >> shift) & 0xff));
  }
  void field(const std::uint8_t* data, std::size_t size) {
    u32(static_cast<std::uint32_t>(size));
    out_.insert(out_.end(), data, data + size);
  }
  void field(const Bytes& b) { field(b.data(), b.size()); }
  void field(const std::string& s) { field(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }
  Bytes take() { return std::move(out_); }

 private:
  Bytes out_;
};

class Reader {
 public:
  explicit Reader(const Bytes& in) : in_(in) {}
  bool header(std::uint8_t kind) {
    if (in_.size() < kMagic.size() + 1) return false;
    if (std::string_view(reinterpret_cast<const char*>(in_.data()), kMagic.size()) != kMagic) return false;
    pos_ = kMagic.size();
    return in_[pos_++] == kind;
  }
  bool u8(std::uint8_t& v) {
    if (in_.size() - pos_ < 1) return false;
    v = in_[pos_++];
    return true;
  }
  bool u32(std::uint32_t& v) {
    if (in_.size() - pos_ < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | in_[pos_++];
    return true;
  }
  bool field(Bytes& out) {
    std::uint32_t n = 0;
    if (!u32(n) || in_.size() - pos_ < n) return false;
    out.assign(in_.begin() + static_cast<std::ptrdiff_t>(pos_),
               in_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
    pos_ += n;
    return true;
  }
  bool field(std::string& out) {
    Bytes b;
    if (!field(b)) return false;
    out.assign(b.begin(), b.end());
    return true;
  }
  bool atEnd() const { return pos_ == in_.size(); }

 private:
  const Bytes& in_;
  std::size_t pos_ = 0;
};

bool decodeAccessibility(std::uint8_t v, Accessibility& out) {
  if (v > static_cast<std::uint8_t>(Accessibility::whenUnlocked)) return false;
  out = static_cast<Accessibility>(v);
  return true;
}

Bytes encodeGeneric(const std::string& service, const std::string& account, const Bytes& data,
                    Accessibility accessibility) {
  Writer w(kGeneric);
  w.field(service);
  w.field(account);
  w.u8(static_cast<std::uint8_t>(accessibility));
  w.field(data);
  return w.take();
}

// The item's data when the file holds exactly the generic-password item of that service and
// account.
std::optional<Bytes> decodeGeneric(const Bytes& file, const std::string& service,
                                   const std::string& account) {
  Reader r(file);
  std::string storedService, storedAccount;
  std::uint8_t access = 0;
  Accessibility accessibility{};
  Bytes data;
  if (!r.header(kGeneric) || !r.field(storedService) || !r.field(storedAccount) || !r.u8(access) ||
      !decodeAccessibility(access, accessibility) || !r.field(data) || !r.atEnd() ||
      storedService != service || storedAccount != account) {
    wipe(data);
    return std::nullopt;
  }
  return data;
}

Bytes encodeKey(const KeyItem& item) {
  Writer w(kKey);
  w.field(item.applicationTag);
  w.u8(static_cast<std::uint8_t>(item.keyType));
  w.u32(static_cast<std::uint32_t>(item.sizeInBits));
  w.u8(static_cast<std::uint8_t>(item.token));
  w.u8(item.permanent ? 1 : 0);
  w.u8(static_cast<std::uint8_t>(item.accessibility));
  w.field(item.keyData);
  return w.take();
}

std::optional<KeyItem> decodeKey(const Bytes& file, const Bytes& tag, KeyType keyType, KeyToken token) {
  Reader r(file);
  KeyItem item;
  std::uint8_t type = 0, tok = 0, permanent = 0, access = 0;
  std::uint32_t size = 0;
  bool ok = r.header(kKey) && r.field(item.applicationTag) && r.u8(type) && r.u32(size) && r.u8(tok) &&
            r.u8(permanent) && r.u8(access) && decodeAccessibility(access, item.accessibility) &&
            r.field(item.keyData) && r.atEnd() && permanent <= 1 && size <= 0x7fffffff &&
            type == static_cast<std::uint8_t>(keyType) && tok == static_cast<std::uint8_t>(token) &&
            item.applicationTag == tag;
  if (!ok) {
    wipe(item.keyData);
    return std::nullopt;
  }
  item.keyType = keyType;
  item.token = token;
  item.sizeInBits = static_cast<int>(size);
  item.permanent = permanent == 1;
  return item;
}

// --- the store ------------------------------------------------------------------------

class FileItemStore final : public ItemStore {
 public:
  explicit FileItemStore(std::filesystem::path directory) : directory_(std::move(directory)) {}

  const std::filesystem::path& directory() const noexcept { return directory_; }

  OSStatus addGenericPassword(const std::string& service, const std::string& account, const Bytes& data,
                              Accessibility accessibility) override {
    if (!detail::validGenericPasswordQuery(service, account)) return status::badParameter;
    auto path = pathOf(detail::genericPasswordIdentity(service, account));
    std::lock_guard lock(storeMutex());
    firstUse();
    if (!files::ensureDirectory(directory_)) return status::ioError;
    files::LockFile directoryLock(lockFilePath());
    auto existing = readItemFile(path);
    if (!existing.first) return status::ioError;
    if (existing.second) {
      auto found = decodeGeneric(*existing.second, service, account);
      wipe(*existing.second);
      if (found) {
        wipe(*found);
        return status::duplicateItem;
      }
    }
    Bytes encoded = encodeGeneric(service, account, data, accessibility);
    ScopedWipe guard(encoded);
    return writeItemFile(path, encoded, existing.second.has_value());
  }

  OSStatus copyGenericPassword(const std::string& service, const std::string& account, Bytes& out) override {
    if (!detail::validGenericPasswordQuery(service, account)) return status::badParameter;
    auto path = pathOf(detail::genericPasswordIdentity(service, account));
    std::lock_guard lock(storeMutex());
    firstUse();
    auto existing = readItemFile(path);
    if (!existing.first) return status::ioError;
    if (!existing.second) return status::itemNotFound;
    auto found = decodeGeneric(*existing.second, service, account);
    wipe(*existing.second);
    if (!found) return status::itemNotFound;
    out = std::move(*found);
    return status::success;
  }

  OSStatus deleteGenericPassword(const std::string& service, const std::string& account) override {
    if (!detail::validGenericPasswordQuery(service, account)) return status::badParameter;
    auto path = pathOf(detail::genericPasswordIdentity(service, account));
    std::lock_guard lock(storeMutex());
    firstUse();
    files::LockFile directoryLock(lockFilePath());
    auto existing = readItemFile(path);
    if (!existing.first) return status::ioError;
    if (!existing.second) return status::itemNotFound;
    auto found = decodeGeneric(*existing.second, service, account);
    wipe(*existing.second);
    if (found) wipe(*found);
    return removeItemFile(path, found.has_value());
  }

  OSStatus replaceGenericPassword(const std::string& service, const std::string& account, const Bytes& data,
                                  Accessibility accessibility) override {
    if (!detail::validGenericPasswordQuery(service, account)) return status::badParameter;
    auto path = pathOf(detail::genericPasswordIdentity(service, account));
    std::lock_guard lock(storeMutex());
    firstUse();
    if (!files::ensureDirectory(directory_)) return status::ioError;
    files::LockFile directoryLock(lockFilePath());
    Bytes encoded = encodeGeneric(service, account, data, accessibility);
    ScopedWipe guard(encoded);
    // One rename over whatever is there: a reader, another process or the next start after
    // a crash finds the old item or the new one.
    return files::writeAtomically(path, encoded, 0600) ? status::success : status::ioError;
  }

  OSStatus addKey(const KeyItem& item) override {
    if (!detail::validKeyQuery(item.applicationTag)) return status::badParameter;
    auto path = pathOf(detail::keyIdentity(item.applicationTag, item.keyType, item.token));
    std::lock_guard lock(storeMutex());
    firstUse();
    if (!files::ensureDirectory(directory_)) return status::ioError;
    files::LockFile directoryLock(lockFilePath());
    auto existing = readItemFile(path);
    if (!existing.first) return status::ioError;
    if (existing.second) {
      auto found = decodeKey(*existing.second, item.applicationTag, item.keyType, item.token);
      wipe(*existing.second);
      if (found) {
        wipe(found->keyData);
        return status::duplicateItem;
      }
    }
    Bytes encoded = encodeKey(item);
    ScopedWipe guard(encoded);
    return writeItemFile(path, encoded, existing.second.has_value());
  }

  OSStatus copyKey(const Bytes& applicationTag, KeyType keyType, KeyToken token, KeyItem& out) override {
    if (!detail::validKeyQuery(applicationTag)) return status::badParameter;
    auto path = pathOf(detail::keyIdentity(applicationTag, keyType, token));
    std::lock_guard lock(storeMutex());
    firstUse();
    auto existing = readItemFile(path);
    if (!existing.first) return status::ioError;
    if (!existing.second) return status::itemNotFound;
    auto found = decodeKey(*existing.second, applicationTag, keyType, token);
    wipe(*existing.second);
    if (!found) return status::itemNotFound;
    out = std::move(*found);
    return status::success;
  }

  OSStatus deleteKey(const Bytes& applicationTag, KeyType keyType, KeyToken token) override {
    if (!detail::validKeyQuery(applicationTag)) return status::badParameter;
    auto path = pathOf(detail::keyIdentity(applicationTag, keyType, token));
    std::lock_guard lock(storeMutex());
    firstUse();
    files::LockFile directoryLock(lockFilePath());
    auto existing = readItemFile(path);
    if (!existing.first) return status::ioError;
    if (!existing.second) return status::itemNotFound;
    auto found = decodeKey(*existing.second, applicationTag, keyType, token);
    wipe(*existing.second);
    if (found) wipe(found->keyData);
    return removeItemFile(path, found.has_value());
  }

 private:
  // The store's own lock file: never the bare directory, which a host may also use as its
  // data directory (where other purposes keep lock files of their own).
  std::filesystem::path lockFilePath() const { return directory_ / ".items.lock"; }

  std::filesystem::path pathOf(const std::string& identity) const {
    return directory_ / (sha256Hex(identity) + ".item");
  }

  // (readable, contents): (true, nothing) when there is no file; (false, nothing) when a
  // file is there but cannot be read.
  static std::pair<bool, std::optional<Bytes>> readItemFile(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return {true, std::nullopt};
      return {false, std::nullopt};
    }
    auto contents = files::read(path);
    if (!contents) {
      // Not a regular file (or vanished): nothing of ours is stored there.
      if (!S_ISREG(st.st_mode)) return {true, Bytes{}};
      return {false, std::nullopt};
    }
    return {true, std::move(contents)};
  }

  // Removes what writers that died before their rename left behind (such files may hold
  // whole secrets). Runs once per store, under the store's lock, so no live writer's
  // temporary file can be taken for a stale one. Caller holds storeMutex().
  void firstUse() {
    if (cleaned_) return;
    files::LockFile directoryLock(lockFilePath());
    if (!directoryLock.held() && ::access(directory_.c_str(), F_OK) == 0) return;  // try again later
    cleaned_ = true;
    if (directoryLock.held()) files::removeStaleTemporaries(directory_, isItemFileName);
  }

  // "<64 lower-case hex digits>.item", the names of pathOf().
  static bool isItemFileName(std::string_view name) {
    constexpr std::string_view kSuffix = ".item";
    if (name.size() != 64 + kSuffix.size() || name.substr(64) != kSuffix) return false;
    return name.substr(0, 64).find_first_not_of("0123456789abcdef") == std::string_view::npos;
  }

  // Writes a new item (the directory exists and is locked). Where no file was, the file is
  // created without replacing anything, so an item added meanwhile by another process is
  // reported as a duplicate; an unusable file found at the item's place is replaced.
  OSStatus writeItemFile(const std::filesystem::path& path, const Bytes& encoded,
                         bool replaceUnusable) const {
    if (replaceUnusable)
      return files::writeAtomically(path, encoded, 0600) ? status::success : status::ioError;
    switch (files::createExclusively(path, encoded, 0600)) {
      case files::CreateResult::created:
        return status::success;
      case files::CreateResult::alreadyExists:
        return status::duplicateItem;
      case files::CreateResult::failed:
        break;
    }
    return status::ioError;
  }

  // Removes the file at the item's place. A file that was not the item asked for is removed
  // too (it is unusable), but the item still counts as absent.
  static OSStatus removeItemFile(const std::filesystem::path& path, bool wasItem) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return status::ioError;
    return wasItem ? status::success : status::itemNotFound;
  }

  std::filesystem::path directory_;
  bool cleaned_ = false;  // guarded by storeMutex()
};

}  // namespace

std::shared_ptr<ItemStore> makeFileItemStore(std::filesystem::path directory) {
  return std::make_shared<FileItemStore>(std::move(directory));
}

std::optional<std::filesystem::path> detail::fileItemStoreDirectory(const ItemStore& store) {
  if (const auto* fileStore = dynamic_cast<const FileItemStore*>(&store)) return fileStore->directory();
  return std::nullopt;
}

}  // namespace velqo::platform
