#include "platform/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

namespace velqo::platform::files {
namespace {

// Closes a descriptor once.
class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded.
  bool close() noexcept {
    if (fd_ < 0) return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
  }

 private:
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_;
};

bool isDirectory(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void syncDirectory(const std::filesystem::path& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

// Moves the finished temporary file into place without replacing anything there.
CreateResult linkNoReplace(const std::string& temp, const std::filesystem::path& path) {
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
    return CreateResult::created;
  }
  if (errno == EEXIST) return CreateResult::alreadyExists;
  if (errno != EINVAL && errno != ENOSYS) return CreateResult::failed;
  // File systems without RENAME_NOREPLACE: a hard link fails just as atomically when the
  // target exists.
  if (::link(temp.c_str(), path.c_str()) == 0) {
    ::unlink(temp.c_str());
    return CreateResult::created;
  }
  return errno == EEXIST ? CreateResult::alreadyExists : CreateResult::failed;
}

constexpr std::string_view kTemporaryInfix = ".tmp-";
constexpr std::size_t kTemporarySuffixSize = 6;  // the XXXXXX of mkostemp

// The target a temporary file of ours was written for; empty when the name is not one.
std::string_view temporaryTarget(std::string_view name) {
  const std::size_t tail = kTemporaryInfix.size() + kTemporarySuffixSize;
  if (name.size() <= 1 + tail || name.front() != '.') return {};
  if (name.substr(name.size() - tail, kTemporaryInfix.size()) != kTemporaryInfix) return {};
  return name.substr(1, name.size() - 1 - tail);
}

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

CreateResult writeFile(const std::filesystem::path& path, const Bytes& data, unsigned mode, bool exclusive) {
  if (!path.has_filename()) return CreateResult::failed;
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  if (!ensureDirectory(dir)) return CreateResult::failed;

  std::string tempName = ".";
  tempName += path.filename().string();
  tempName += kTemporaryInfix;
  tempName += "XXXXXX";
  std::string temp = (dir / tempName).string();
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) return CreateResult::failed;

  bool written = ::fchmod(fd.get(), static_cast<mode_t>(mode & 07777)) == 0 &&
                 writeAll(fd.get(), data.data(), data.size()) && ::fsync(fd.get()) == 0;
  if (!fd.close()) written = false;
  if (!written) {
    ::unlink(temp.c_str());
    return CreateResult::failed;
  }

  CreateResult result = CreateResult::created;
  if (exclusive) {
    result = linkNoReplace(temp, path);
    if (result != CreateResult::created) ::unlink(temp.c_str());
  } else if (::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    result = CreateResult::failed;
  }
  // Once the rename has happened the new file is in place; a failing directory sync can
  // no longer be undone, so it is best effort.
  if (result == CreateResult::created) syncDirectory(dir);
  return result;
}

}  // namespace

bool writeAtomically(const std::filesystem::path& path, const Bytes& data, unsigned mode) {
  return writeFile(path, data, mode, false) == CreateResult::created;
}

CreateResult createExclusively(const std::filesystem::path& path, const Bytes& data, unsigned mode) {
  return writeFile(path, data, mode, true);
}

std::size_t removeStaleTemporaries(const std::filesystem::path& directory,
                                   const std::function<bool(std::string_view target)>& isOwnTarget) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(directory.c_str()));
  if (!dir) return 0;
  std::size_t removed = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    const std::string_view target = temporaryTarget(name);
    if (target.empty() || !isOwnTarget(target)) continue;
    if (::unlinkat(::dirfd(dir.get()), entry->d_name, 0) == 0) ++removed;
  }
  return removed;
}

LockFile::LockFile(const std::filesystem::path& file) {
  // Read-write so the file can be created; an existing one that only allows reading (a
  // read-only directory, another owner's file that is readable) still takes a lock.
  fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd_ < 0) return;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  int rc = 0;
  do {
    rc = ::flock(fd_, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

LockFile::~LockFile() {
  // Closing the only descriptor of the open file description releases the lock.
  if (fd_ >= 0) ::close(fd_);
}

std::optional<Bytes> read(const std::filesystem::path& path) {
  return read(path, nullptr);
}

std::optional<Bytes> read(const std::filesystem::path& path, bool* missing) {
  if (missing) *missing = false;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (missing) *missing = errno == ENOENT || errno == ENOTDIR;
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

  Bytes out;
  out.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t chunk[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      OPENSSL_cleanse(chunk, sizeof chunk);
      wipe(out);
      return std::nullopt;
    }
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  // Item files hold secrets: leave no copy on the stack.
  OPENSSL_cleanse(chunk, sizeof chunk);
  return out;
}

bool ensureDirectory(const std::filesystem::path& path) {
  std::filesystem::path dir = path;
  if (!dir.empty() && !dir.has_filename()) dir = dir.parent_path();  // "a/b/" -> "a/b"
  if (dir.empty() || isDirectory(dir)) return true;
  std::filesystem::path parent = dir.parent_path();
  if (!parent.empty() && parent != dir && !ensureDirectory(parent)) return false;
  if (::mkdir(dir.c_str(), 0700) == 0) {
    // The umask may have taken bits away, never added any; set the mode exactly.
    ::chmod(dir.c_str(), 0700);
    return true;
  }
  return errno == EEXIST && isDirectory(dir);
}

}  // namespace velqo::platform::files
