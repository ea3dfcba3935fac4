#include "account_state_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <velqo/platform/environment.hpp>

#include <cerrno>

namespace velqo::cli {
namespace {

thread_local const AccountStateLock* heldHere = nullptr;

}  // namespace

const AccountStateLock* AccountStateLock::heldByThisThread() noexcept {
  return heldHere;
}

namespace {

// The locked descriptor of the lock file, or -1.
int lockedFile() {
  const auto directory = platform::applicationDataDirectory();
  ::mkdir(directory.c_str(), 0700);  // a first run on a fresh directory locks too
  const auto file = directory / "localservice-account-state.lock";
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  int status;
  do {
    status = ::flock(fd, LOCK_EX);
  } while (status != 0 && errno == EINTR);
  if (status == 0) return fd;
  ::close(fd);
  return -1;
}

}  // namespace

AccountStateLock::AccountStateLock() : fd_(lockedFile()), outer_(heldHere) {
  heldHere = this;
}

AccountStateLock::~AccountStateLock() {
  heldHere = outer_;
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace velqo::cli
