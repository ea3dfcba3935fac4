#pragma once

// The order between clears of the registered push-token record and the push-registration
// answers that write it, across every VelqoSDK of this process and every process sharing the
// application data directory (internal).

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/files.hpp"

namespace velqo::detail {

/// Which clears had happened when it was taken. Two stamps are equal only when no clear came
/// between them; a stamp whose shared part could not be read equals no other.
struct PushRecordClearStamp {
  std::uint64_t clearsInThisProcess = 0;
  /// The mark the last clear of any process left in the data directory; empty before the first.
  std::optional<std::string> sharedMark;

  friend bool operator==(const PushRecordClearStamp& a, const PushRecordClearStamp& b) {
    return a.clearsInThisProcess == b.clearsInThisProcess && a.sharedMark && b.sharedMark &&
           *a.sharedMark == *b.sharedMark;
  }
};

/// While one lives, this thread has the push record's turn: a process-wide mutex, then the
/// push-record lock file, "<data directory>/.push-record.lock" (lock 1 in the list above
/// `platform::files::LockFile`). A clear holds it throughout; a registration holds it to take
/// its stamp, its answer to compare the stamp and write the record. Only storage may be called
/// while it is held (declare a `platform::detail::HeldLines` before it); a thread must not take
/// it twice.
class PushRecordTurn {
 public:
  PushRecordTurn();
  PushRecordTurn(const PushRecordTurn&) = delete;
  PushRecordTurn& operator=(const PushRecordTurn&) = delete;

  [[nodiscard]] PushRecordClearStamp stamp() const;
  /// Records a clear, so every stamp taken before it differs from every stamp taken after it.
  /// The shared part is a fresh random mark rather than a count, so a mark file that was removed
  /// or put back from a copy never brings back a value an earlier registration saw. When the
  /// mark cannot be written, only this process learns of the clear (a diagnostic line says so).
  void recordClear();

 private:
  std::unique_lock<std::mutex> inProcess_;
  platform::files::LockFile acrossProcesses_;
};

}  // namespace velqo::detail
