#pragma once

// The immutable attribute on a directory, for tests of storage that cannot be changed: nothing
// in it can be added, removed or renamed, not even by root. Taken off again however the test
// ends, so the test directory stays removable.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>

namespace velqo::e2e {

class ImmutableDirectory {
 public:
  explicit ImmutableDirectory(const std::filesystem::path& dir)
      : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0 || ::ioctl(fd_, FS_IOC_GETFLAGS, &flags_) != 0) return;
    int immutable = flags_ | FS_IMMUTABLE_FL;
    set_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &immutable) == 0;
  }
  ~ImmutableDirectory() {
    release();
    if (fd_ >= 0) ::close(fd_);
  }
  ImmutableDirectory(const ImmutableDirectory&) = delete;
  ImmutableDirectory& operator=(const ImmutableDirectory&) = delete;

  /// Whether the attribute is on (false where the file system keeps none).
  bool set() const { return set_; }
  /// Takes the attribute off.
  void release() {
    if (set_) set_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &flags_) != 0;
  }

 private:
  int fd_ = -1;
  int flags_ = 0;
  bool set_ = false;
};

}  // namespace velqo::e2e
