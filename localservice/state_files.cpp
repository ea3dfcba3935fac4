#include "velqo_localservice/state_files.hpp"

#include <string_view>

#include "platform/files.hpp"

namespace velqo::localservice {

bool replaceStateFile(const std::filesystem::path& file, const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  const bool written = platform::files::writeAtomically(file, bytes, 0600);
  wipe(bytes);
  return written;
}

void removeStaleStateTemporaries(const std::filesystem::path& file) {
  std::filesystem::path directory = file.parent_path();
  if (directory.empty()) directory = ".";
  const std::string name = file.filename().string();
  platform::files::removeStaleTemporaries(directory,
                                          [&name](std::string_view target) { return target == name; });
}

}  // namespace velqo::localservice
