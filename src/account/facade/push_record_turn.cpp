#include "account/facade/push_record_turn.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string_view>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo::detail {
namespace {

constexpr std::string_view kMarkFileName = ".push-record.clear-mark";

// What the turn guards in this process. Never destroyed: an answer may still be handled while
// the process exits.
struct InProcess {
  std::mutex mutex;
  std::uint64_t clears = 0;       // guarded by `mutex`
  bool temporariesSwept = false;  // guarded by `mutex`
};

InProcess& inProcess() {
  static auto* state = new InProcess;
  return *state;
}

// The data directory, or an empty path when there is none to share.
std::filesystem::path dataDirectory() {
  try {
    return platform::applicationDataDirectory();
  } catch (...) {
    return {};
  }
}

std::filesystem::path lockFilePath() {
  const auto directory = dataDirectory();
  return directory.empty() ? directory : directory / ".push-record.lock";
}

}  // namespace

PushRecordTurn::PushRecordTurn() : inProcess_(inProcess().mutex), acrossProcesses_(lockFilePath()) {}

PushRecordClearStamp PushRecordTurn::stamp() const {
  PushRecordClearStamp stamp;
  stamp.clearsInThisProcess = inProcess().clears;
  const auto directory = dataDirectory();
  if (directory.empty()) {
    stamp.sharedMark = "";  // nothing is shared with other processes
    return stamp;
  }
  const auto file = directory / kMarkFileName;
  if (auto contents = platform::files::read(file)) {
    stamp.sharedMark = textOf(*contents);
    return stamp;
  }
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0 && errno == ENOENT) stamp.sharedMark = "";  // no clear yet
  return stamp;
}

void PushRecordTurn::recordClear() {
  InProcess& state = inProcess();
  ++state.clears;
  const auto directory = dataDirectory();
  if (directory.empty()) return;
  // A writer that died before its rename left a temporary file; none is at work while the
  // lock is held.
  if (!state.temporariesSwept && acrossProcesses_.held()) {
    state.temporariesSwept = true;
    platform::files::removeStaleTemporaries(directory,
                                            [](std::string_view target) { return target == kMarkFileName; });
  }
  bool written = false;
  try {
    written = platform::files::writeAtomically(
        directory / kMarkFileName, bytesOf(platform::hexEncode(platform::crypto::randomBytes(16))));
  } catch (...) {
    written = false;  // no random bytes: nothing written
  }
  if (!written) {
    debugLog(
        "[VelqoSDK] Could not mark the clear for other processes: a push registration answer that one of "
        "them is awaiting may record its token again.");
  }
}

}  // namespace velqo::detail
