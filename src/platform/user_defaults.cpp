// User defaults kept in one JSON object file. Texts and numbers are plain JSON values so the
// host can read them directly; bytes are {"type": "data", "value": <standard base64>}.
// Numbers that JSON cannot carry (infinities, NaN) are {"type": "number", "value": "inf" |
// "-inf" | "nan"}. Keys of other shapes written by the host are kept as they are.

#include "velqo/platform/user_defaults.hpp"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "platform/diagnostics.hpp"
#include "platform/encoding.hpp"
#include "platform/files.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo::platform {
namespace {

using nlohmann::json;

constexpr const char* kType = "type";
constexpr const char* kValue = "value";
constexpr const char* kTypeData = "data";
constexpr const char* kTypeNumber = "number";

bool isTagged(const json& v, const char* type) {
  if (!v.is_object() || v.size() != 2) return false;
  auto t = v.find(kType);
  return t != v.end() && t->is_string() && t->get_ref<const std::string&>() == type && v.contains(kValue) &&
         v.at(kValue).is_string();
}

// "20260101T120000Z": when a file was set aside, in its new name.
std::string utcStamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

// Renames `from` to `to` only when nothing is there; false (errno EEXIST) when something is.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: the file's lock keeps our own writers out meanwhile.
  std::error_code ec;
  if (std::filesystem::exists(to, ec) || ec) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

class JsonUserDefaults final : public UserDefaults {
 public:
  explicit JsonUserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

  void setString(const std::string& key, const std::string& value) override { store(key, json(value)); }

  void setData(const std::string& key, const Bytes& value) override {
    store(key, json{{kType, kTypeData}, {kValue, base64Encode(value)}});
  }

  void setNumber(const std::string& key, double value) override {
    if (std::isfinite(value)) {
      store(key, json(value));
    } else {
      const char* text = std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
      store(key, json{{kType, kTypeNumber}, {kValue, text}});
    }
  }

  void remove(const std::string& key) override {
    detail::HeldLines lines;  // written once the locks below are released
    std::lock_guard lock(mutex_);
    files::LockFile directoryLock(lockFilePath());
    removeStaleTemporaries(directoryLock);
    if (!refresh(directoryLock)) return;
    if (values_.erase(key) > 0) save();
  }

  std::optional<std::string> string(const std::string& key) const override {
    detail::HeldLines lines;  // written once the locks below are released
    std::lock_guard lock(mutex_);
    const json* v = find(key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
  }

  std::optional<Bytes> data(const std::string& key) const override {
    detail::HeldLines lines;  // written once the locks below are released
    std::lock_guard lock(mutex_);
    const json* v = find(key);
    if (!v || !isTagged(*v, kTypeData)) return std::nullopt;
    return base64Decode(v->at(kValue).get_ref<const std::string&>());
  }

  std::optional<double> number(const std::string& key) const override {
    detail::HeldLines lines;  // written once the locks below are released
    std::lock_guard lock(mutex_);
    const json* v = find(key);
    if (!v) return std::nullopt;
    if (v->is_number()) return v->get<double>();
    if (!isTagged(*v, kTypeNumber)) return std::nullopt;
    const auto& text = v->at(kValue).get_ref<const std::string&>();
    if (text == "inf") return std::numeric_limits<double>::infinity();
    if (text == "-inf") return -std::numeric_limits<double>::infinity();
    if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
    return std::nullopt;
  }

 private:
  // Read-modify-write under the lock on the file's directory, starting from what is on
  // disk now: other processes sharing the file keep the values they wrote.
  void store(const std::string& key, json value) {
    detail::HeldLines lines;  // written once the locks below are released
    std::lock_guard lock(mutex_);
    files::LockFile directoryLock(lockFilePath());
    removeStaleTemporaries(directoryLock);
    if (!refresh(directoryLock)) return;
    values_[key] = std::move(value);
    save();
  }

  // The lock of this file's read-modify-write sequences, beside it.
  std::filesystem::path lockFilePath() const {
    return directory() / ("." + file_.filename().string() + ".lock");
  }

  std::filesystem::path directory() const {
    std::filesystem::path dir = file_.parent_path();
    if (dir.empty()) dir = ".";
    files::ensureDirectory(dir);
    return dir;
  }

  // What the file holds as last looked at: a JSON object (in `object`), nothing, something
  // that is no JSON object, or something that could not be opened or read.
  enum class Found { object, missing, noObject, cannotRead };

  Found readFile(json& object) const {
    bool missing = false;
    auto contents = files::read(file_, &missing);
    if (!contents) return missing ? Found::missing : Found::cannotRead;
    json parsed = json::parse(contents->begin(), contents->end(), nullptr, false);
    if (!parsed.is_object()) return Found::noObject;
    object = std::move(parsed);
    return Found::object;
  }

  // readFile() under the file's lock; a file that holds no JSON object is first moved
  // aside, so the next save does not overwrite what someone may still want to recover. One
  // that stays in place counts as one that could not be read.
  Found readOrSetAside(const files::LockFile& directoryLock, json& object) const {
    const Found found = readFile(object);
    if (found != Found::noObject) return found;
    return directoryLock.held() && setAside() ? Found::noObject : Found::cannotRead;
  }

  // Renames the file to "<name>.unreadable-<UTC time>" (with "-2", "-3", ... when taken,
  // never replacing an earlier one) and says so in a diagnostic line. False when it stays.
  bool setAside() const {
    const std::string stamp = file_.string() + ".unreadable-" + utcStamp();
    std::filesystem::path aside;
    for (int n = 1; n <= 100 && aside.empty(); ++n) {
      const std::filesystem::path candidate = n == 1 ? stamp : stamp + "-" + std::to_string(n);
      if (renameNoReplace(file_, candidate)) {
        aside = candidate;
      } else if (errno != EEXIST) {
        break;
      }
    }
    if (aside.empty()) {
      detail::diagnosticLine("[UserDefaults] " + file_.string() +
                             " holds no JSON object and could not be moved aside; left it as it is.");
      return false;
    }
    detail::diagnosticLine("[UserDefaults] " + file_.string() + " holds no JSON object; moved it to " +
                           aside.string() + " and started empty.");
    return true;
  }

  // Removes, once, what writers that died before their rename left behind. Only while the
  // file's lock is held, so no live writer's temporary file is taken for a stale one.
  void removeStaleTemporaries(const files::LockFile& directoryLock) const {
    if (cleaned_ || !directoryLock.held()) return;
    cleaned_ = true;
    const std::string name = file_.filename().string();
    files::removeStaleTemporaries(directory(), [&name](std::string_view target) { return target == name; });
  }

  // Takes in the file as it is now, under its lock, before a write. False, with the line that
  // says the write failed, when it could not be read.
  bool refresh(const files::LockFile& directoryLock) const {
    json current;
    const Found found = readOrSetAside(directoryLock, current);
    takeIn(found, std::move(current));
    if (blocked_) reportUnwritten("the file there could not be read; left it as it is");
    return !blocked_;
  }

  // A file that could not be read blocks the store until it can: it is never written over.
  // Otherwise values whose write failed are kept over the file's.
  void takeIn(Found found, json current) const {
    blocked_ = found == Found::cannotRead;
    if (blocked_) return;
    if (found != Found::object) {
      if (!loaded_) values_ = json::object();
    } else if (unsaved_ && loaded_) {
      for (auto& [key, value] : current.items()) {
        if (!values_.contains(key)) values_[key] = std::move(value);
      }
    } else {
      values_ = std::move(current);
    }
    loaded_ = true;
  }

  // Nothing while the file cannot be read.
  const json* find(const std::string& key) const {
    load();
    if (blocked_) return nullptr;
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : &*it;
  }

  // Reads the file on first use, and again while it could not be read. A file that is not a
  // JSON object is moved aside first (under the file's lock, looked at once more there,
  // since a writer may just have replaced it).
  void load() const {
    if (loaded_ && !blocked_) return;
    json current;
    Found found = readFile(current);
    if (found == Found::noObject) {
      files::LockFile directoryLock(lockFilePath());
      found = readOrSetAside(directoryLock, current);
    }
    takeIn(found, std::move(current));
  }

  // Writes the whole object atomically. A failed write leaves the previous file; the value
  // stays in memory for this process.
  void save() const {
    Bytes bytes = bytesOf(values_.dump(2, ' ', false, json::error_handler_t::replace));
    unsaved_ = !files::writeAtomically(file_, bytes, 0600);
    if (unsaved_) reportUnwritten("the change is kept in memory for this process only");
  }

  // The line hosts look for to learn that a change did not reach the disk: it starts with
  // "[UserDefaults] Could not write " and the file's path.
  void reportUnwritten(const std::string& reason) const {
    detail::diagnosticLine("[UserDefaults] Could not write " + file_.string() + ": " + reason + ".");
  }

  std::filesystem::path file_;
  mutable std::mutex mutex_;
  mutable bool loaded_ = false;
  mutable bool unsaved_ = false;  // the last write failed
  mutable bool cleaned_ = false;  // stale temporary files removed
  mutable bool blocked_ = false;  // the file was there but could not be read at the last look
  mutable json values_ = json::object();
};

struct StandardSlot {
  std::mutex mutex;
  std::shared_ptr<UserDefaults> defaults;
};

StandardSlot& standardSlot() {
  static StandardSlot slot;
  return slot;
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  auto& slot = standardSlot();
  std::lock_guard lock(slot.mutex);
  if (!slot.defaults) slot.defaults = open(applicationDataDirectory() / "defaults.json");
  return slot.defaults;
}

std::shared_ptr<UserDefaults> UserDefaults::open(std::filesystem::path file) {
  return std::make_shared<JsonUserDefaults>(std::move(file));
}

void UserDefaults::setStandard(std::shared_ptr<UserDefaults> defaults) {
  auto& slot = standardSlot();
  std::shared_ptr<UserDefaults> previous;
  {
    std::lock_guard lock(slot.mutex);
    previous = std::exchange(slot.defaults, std::move(defaults));
  }
}

}  // namespace velqo::platform
