#pragma once

// The lock that velqo-cli processes sharing a data directory take around every read-modify-write
// of the embedded account service's state file, and around a foreground service's start. It is
// the command-line host's own, not one of the library's: no library lock is held while it is
// taken, and a process never takes it while it already holds it (it would wait on itself).

namespace velqo::cli {

/// An exclusive lock (flock) on "localservice-account-state.lock" in the data directory, held
/// until destroyed. Waits until granted; when the file cannot be opened the lock is not held
/// and the caller goes on without it.
class AccountStateLock {
 public:
  AccountStateLock();
  ~AccountStateLock();
  AccountStateLock(const AccountStateLock&) = delete;
  AccountStateLock& operator=(const AccountStateLock&) = delete;

  [[nodiscard]] bool held() const noexcept { return fd_ >= 0; }

  /// The lock this thread holds now (innermost), or null: code that may run under a caller's
  /// lock (a destructor during unwinding) works under it instead of waiting on itself.
  static const AccountStateLock* heldByThisThread() noexcept;

 private:
  int fd_ = -1;
  const AccountStateLock* outer_ = nullptr;
};

}  // namespace velqo::cli
