#include "velqo/platform/environment.hpp"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string_view>
#include <vector>

#include "platform/diagnostics.hpp"
#include "platform/files.hpp"
#include "platform/platform_test_support.hpp"
#include "support/scoped_platform_settings.hpp"
#include "support/scoped_temp_directory.hpp"
#include "support/test_environment.hpp"
#include "support/watchdog.hpp"
#include "velqo/platform/user_defaults.hpp"

namespace velqo::platform {
namespace {

namespace fs = std::filesystem;
using testing::makeTempDirectory;
using testing::modeOf;
using testing::runWithWatchdog;
using testing::ScopedTempDirectory;

std::string fileText(const fs::path& file) {
  return textOf(files::read(file).value());
}

// The vendor identifier of a data directory (the current one when empty).
std::optional<std::string> vendorIdIn(const fs::path& dir) {
  testing::ScopedPlatformSettings settings;
  settings.setApplicationDataDirectory(dir);
  return currentDevice().identifierForVendor;
}

TEST(EnvironmentTest, DeviceDefaultsComeFromThisMachineWithAStableVendorIdentifierOnDisk) {
  const DeviceInfo d = currentDevice();
  for (const auto& value : {d.systemName, d.systemVersion, d.name, d.locale, d.timeZone})
    EXPECT_FALSE(value.empty());
  EXPECT_NE(d.model.find(machineName()), std::string::npos);
  EXPECT_EQ(d.locale.find('.'), std::string::npos);  // no code set
  ASSERT_FALSE(d.preferredLanguages.empty());
  EXPECT_EQ(d.preferredLanguages[0].find('_'), std::string::npos);

  const auto id = d.identifierForVendor;
  ASSERT_TRUE(id);
  EXPECT_TRUE(std::regex_match(
      *id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
  EXPECT_EQ(currentDevice().identifierForVendor, id);
  EXPECT_EQ(fileText(applicationDataDirectory() / "vendor-identifier"), *id);
  EXPECT_EQ(modeOf(applicationDataDirectory() / "vendor-identifier"), 0600u);
  // Another directory with a damaged file gets a new identifier; going back finds the first.
  const auto damaged = makeTempDirectory("vendor");
  ASSERT_TRUE(files::writeAtomically(damaged / "vendor-identifier", bytesOf("not-a-uuid")));
  const auto replaced = vendorIdIn(damaged);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(fileText(damaged / "vendor-identifier"), *replaced);
  EXPECT_NE(*replaced, *id);
  EXPECT_EQ(currentDevice().identifierForVendor, id) << "back in the first directory";
}

TEST(EnvironmentTest, TheVendorIdentifierSweepsWhatAKilledCreationLeftAndNothingElse) {
  // One directory where a creation was killed before its rename, one where an earlier start
  // created the identifier and a later creation was killed; each has another purpose's file too.
  const auto fresh = makeTempDirectory("vendor-fresh");
  const auto existing = makeTempDirectory("vendor-existing");
  const std::string kept = "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3";
  ASSERT_TRUE(files::writeAtomically(existing / "vendor-identifier", bytesOf(kept)));
  for (const auto& dir : {fresh, existing}) {
    ASSERT_TRUE(files::writeAtomically(dir / ".vendor-identifier.tmp-Ab12Cd", bytesOf("half")));
    ASSERT_TRUE(files::writeAtomically(dir / ".defaults.json.tmp-Ef34Gh", bytesOf("{}")));
  }

  ASSERT_TRUE(vendorIdIn(fresh));
  EXPECT_EQ(vendorIdIn(existing), kept);
  for (const auto& dir : {fresh, existing}) {
    EXPECT_FALSE(fs::exists(dir / ".vendor-identifier.tmp-Ab12Cd")) << dir;
    EXPECT_EQ(fileText(dir / ".defaults.json.tmp-Ef34Gh"), "{}") << "another purpose's file stays: " << dir;
  }
}

TEST(EnvironmentTest, DefaultDataDirectoryFollowsXdgAndKeepsTheBundleIdInOneComponent) {
  testing::ScopedPlatformSettings settings;
  const char* savedXdg = std::getenv("XDG_DATA_HOME");
  const std::string xdgBackup = savedXdg ? savedXdg : "";
  const auto xdg = makeTempDirectory("xdg");
  ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
  settings.setApplicationDataDirectory({});
  const std::pair<std::optional<std::string>, std::string> cases[] = {{"com.example.app", "com.example.app"},
                                                                      {"..", "velqo"},
                                                                      {"../../escape", ".._.._escape"},
                                                                      {std::nullopt, "velqo"}};
  for (const auto& [identifier, directory] : cases) {
    settings.setMainBundle({identifier, {}});
    EXPECT_EQ(applicationDataDirectory(), xdg / directory);
    EXPECT_EQ(modeOf(xdg / directory), 0700u) << directory;
  }
  EXPECT_EQ(applicationSupportDirectory(), xdg / "velqo" / "Application Support");
  EXPECT_EQ(modeOf(xdg / "velqo" / "Application Support"), 0700u);
  savedXdg ? ::setenv("XDG_DATA_HOME", xdgBackup.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
}

TEST(UserDefaultsTest, ValuesPersistWithTheirKindsAsHostReadableJson) {
  const auto file = makeTempDirectory("defaults") / "sub" / "defaults.json";
  {
    auto d = UserDefaults::open(file);
    d->setString("text", "héllo");
    d->setData("bytes", Bytes{0, 1, 2, 255});
    d->setNumber("number", 12.5);
    d->setNumber("infinite", -std::numeric_limits<double>::infinity());
    d->setNumber("nan", std::nan(""));
    d->setString("gone", "x");
    d->remove("gone");
    EXPECT_EQ(d->string("text"), "héllo");
  }
  EXPECT_EQ(modeOf(file), 0600u);
  auto d = UserDefaults::open(file);
  EXPECT_EQ(d->string("text"), "héllo");
  EXPECT_EQ(d->data("bytes"), (Bytes{0, 1, 2, 255}));
  EXPECT_EQ(d->number("number"), 12.5);
  EXPECT_EQ(d->number("infinite"), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(d->number("nan").value_or(0)));
  EXPECT_EQ(d->string("gone"), std::nullopt);
  // Asking for another kind gives nothing; base64-looking text is still text.
  d->setString("b64", "aGVsbG8=");
  for (const char* key : {"bytes", "number"}) EXPECT_EQ(d->string(key), std::nullopt) << key;
  for (const char* key : {"b64", "number"}) EXPECT_EQ(d->data(key), std::nullopt) << key;
  for (const char* key : {"b64", "bytes", "missing"}) EXPECT_EQ(d->number(key), std::nullopt) << key;

  const auto json = nlohmann::json::parse(fileText(file));
  EXPECT_EQ(json.at("text"), "héllo");
  EXPECT_EQ(json.at("number"), 12.5);
  EXPECT_FALSE(json.contains("gone"));
  d->setNumber("text", 3);  // overwriting changes the kind
  EXPECT_EQ(UserDefaults::open(file)->number("text"), 3.0);
  EXPECT_EQ(UserDefaults::open(file)->string("text"), std::nullopt);
}

TEST(UserDefaultsTest, HostWrittenFilesAreReadForeignKeysKeptAndBrokenFilesStartEmpty) {
  const auto file = makeTempDirectory("host") / "d.json";
  std::ofstream(file) << R"({"hostKey": {"nested": [1, 2]}, "count": 7, "name": "x",
                             "fakeData": {"type": "data", "value": "not base64!"}})";
  auto d = UserDefaults::open(file);
  EXPECT_EQ(d->number("count"), 7.0);
  EXPECT_EQ(d->string("name"), "x");
  EXPECT_EQ(d->data("fakeData"), std::nullopt);
  d->setString("mine", "y");
  const auto json = nlohmann::json::parse(fileText(file));
  EXPECT_EQ(json.at("hostKey").at("nested"), nlohmann::json::array({1, 2}));
  EXPECT_EQ(json.at("mine"), "y");

  const auto broken = makeTempDirectory("broken") / "d.json";
  std::ofstream(broken) << "[1, 2";
  UserDefaults::open(broken)->setString("k", "v");
  EXPECT_EQ(UserDefaults::open(broken)->string("k"), "v");
}

// The platform's diagnostic lines while a test runs.
std::mutex diagnosticsMutex;
std::vector<std::string> diagnostics;

void recordDiagnostic(std::string_view line) {
  std::lock_guard lock(diagnosticsMutex);
  diagnostics.emplace_back(line);
}

// The files of `dir` whose names start with `prefix`, sorted.
std::vector<fs::path> filesStartingWith(const fs::path& dir, const std::string& prefix) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

TEST(UserDefaultsTest, AnUnreadableFileIsMovedAsideBeforeAnythingOverwritesIt) {
  detail::setDiagnosticHandler(&recordDiagnostic);
  diagnostics.clear();
  const auto dir = makeTempDirectory("unreadable");
  const auto file = dir / "defaults.json";
  const std::string first = R"({"web_token": "kept", "sessionDeta)";
  std::ofstream(file) << first;

  // Reading starts empty, with the truncated file moved aside whole.
  auto d = UserDefaults::open(file);
  EXPECT_EQ(d->string("web_token"), std::nullopt);
  auto aside = filesStartingWith(dir, "defaults.json.unreadable-");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(fileText(aside[0]), first);
  d->setString("new", "v");
  EXPECT_EQ(UserDefaults::open(file)->string("new"), "v");
  EXPECT_EQ(fileText(aside[0]), first);

  // A second broken file, found by a write, goes beside the first without replacing it.
  const std::string second = "{\"a\": 1,";
  std::ofstream(file, std::ios::trunc) << second;
  auto other = UserDefaults::open(file);
  other->setString("after", "w");
  EXPECT_EQ(other->string("new"), std::nullopt);
  aside = filesStartingWith(dir, "defaults.json.unreadable-");
  ASSERT_EQ(aside.size(), 2u);
  std::set<std::string> contents{fileText(aside[0]), fileText(aside[1])};
  EXPECT_EQ(contents, (std::set<std::string>{first, second}));
  EXPECT_EQ(UserDefaults::open(file)->string("after"), "w");

  detail::setDiagnosticHandler(nullptr);
  std::lock_guard lock(diagnosticsMutex);
  ASSERT_EQ(diagnostics.size(), 2u);
  for (std::size_t i = 0; i < diagnostics.size(); ++i) {
    EXPECT_EQ(diagnostics[i].rfind("[UserDefaults] ", 0), 0u) << diagnostics[i];
    EXPECT_NE(diagnostics[i].find("moved it to " + dir.string() + "/defaults.json.unreadable-"),
              std::string::npos)
        << diagnostics[i];
    EXPECT_EQ(diagnostics[i].find("kept"), std::string::npos) << "no contents in the line";
  }
}

// What a forked child found wrong, one line each; empty when nothing.
class ChildReport {
 public:
  void check(bool ok, const std::string& what) {
    if (!ok) failures_ += what + "\n";
  }
  const std::string& failures() const { return failures_; }

 private:
  std::string failures_;
};

// One byte through a pipe, each way between a test and its child.
void sendByte(int fd) {
  const char byte = 'x';
  (void)!::write(fd, &byte, 1);
}

bool receiveByte(int fd) {
  char byte = 0;
  ssize_t n = 0;
  do {
    n = ::read(fd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

// Everything the child wrote until it closed its end.
std::string receiveAll(int fd) {
  std::string text;
  char buffer[512];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// The diagnostic lines that start with `prefix`.
std::size_t diagnosticsStartingWith(const std::string& prefix) {
  std::lock_guard lock(diagnosticsMutex);
  return static_cast<std::size_t>(std::count_if(
      diagnostics.begin(), diagnostics.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// Whether the unprivileged user 65534 can reach the directory (run as root): a child drops to
// it and tries.
bool nobodyReaches(const fs::path& dir) {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
    ::_exit(dropped && ::access(dir.c_str(), X_OK | W_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(UserDefaultsTest, AFileThatCannotBeReadIsNeverWrittenOverAndTakenInOnceItCanBe) {
  // Mode 0000 stops a user other than root. As root, a child that has dropped to nobody meets
  // it, in a directory of its own under the temporary directory (the test data directory is
  // root's alone), as a user meets a file a run under sudo left behind.
  ScopedTempDirectory home("velqo-test-defaults");
  const fs::path file = home.path() / "defaults.json";
  const std::string held = R"({"old": "kept"})";
  std::ofstream(file) << held;
  fs::permissions(file, fs::perms::none);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(home.path().c_str(), 65534, 65534), 0);
    if (!nobodyReaches(home.path())) {
      GTEST_SKIP() << "an unprivileged user cannot reach " << home.path()
                   << " (a temporary directory of mode 0700?)";
    }
  }

  int toParent[2];
  int toChild[2];
  ASSERT_EQ(::pipe(toParent), 0);
  ASSERT_EQ(::pipe(toChild), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(toParent[0]);
    ::close(toChild[1]);
    ChildReport report;
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      report.check(false, "could not drop to nobody");
    }
    detail::setDiagnosticHandler(&recordDiagnostic);
    diagnostics.clear();
    const std::string failedWrite = "[UserDefaults] Could not write " + file.string();
    auto d = UserDefaults::open(file);
    report.check(!d->string("old"), "a read saw a value of a file it cannot read");
    d->setString("k", "v");
    report.check(diagnosticsStartingWith(failedWrite) == 1, "no line for the refused write");
    report.check(!d->string("k"), "a read saw the refused value");
    d->remove("old");
    report.check(diagnosticsStartingWith(failedWrite) == 2, "no line for the refused removal");
    sendByte(toParent[1]);
    // The parent makes the file readable, as a user who fixes its owner would.
    report.check(receiveByte(toChild[0]), "the parent did not answer");
    report.check(d->string("old") == "kept", "the file was not taken in once readable");
    d->setString("k", "v");
    report.check(diagnosticsStartingWith(failedWrite) == 2, "a write failed once the file was readable");
    (void)!::write(toParent[1], report.failures().data(), report.failures().size());
    ::_exit(0);
  }
  ::close(toParent[1]);
  ::close(toChild[0]);
  runWithWatchdog("the child's refused writes", [&] { EXPECT_TRUE(receiveByte(toParent[0])); });
  fs::permissions(
      file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(fileText(file), held) << "the file keeps what it held";
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(home.path()))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"defaults.json", ".defaults.json.lock"})) << "nothing set aside";
  sendByte(toChild[1]);
  std::string failures;
  runWithWatchdog("the child's writes once the file was readable", [&] {
    failures = receiveAll(toParent[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  });
  ::close(toParent[0]);
  ::close(toChild[1]);
  EXPECT_EQ(failures, "");
  EXPECT_EQ(nlohmann::json::parse(fileText(file)), nlohmann::json({{"old", "kept"}, {"k", "v"}}));
}

TEST(UserDefaultsTest, AFailedWriteSaysSoWithThePathAndKeepsTheValueForThisProcess) {
  detail::setDiagnosticHandler(&recordDiagnostic);
  diagnostics.clear();
  // A parent that is a regular file: no user, root included, can write there.
  const auto dir = makeTempDirectory("unwritable");
  std::ofstream(dir / "plain") << "x";
  const fs::path file = dir / "plain" / "defaults.json";
  const std::string failedWrite = "[UserDefaults] Could not write " + file.string();

  auto d = UserDefaults::open(file);
  d->setString("k", "v");
  EXPECT_EQ(d->string("k"), "v");
  d->setNumber("n", 1);
  d->remove("k");
  EXPECT_EQ(d->string("k"), std::nullopt);
  EXPECT_EQ(d->number("n"), 1.0);
  EXPECT_EQ(diagnosticsStartingWith(failedWrite), 3u);
  detail::setDiagnosticHandler(nullptr);
}

TEST(UserDefaultsTest, ABrokenFileThatCannotBeMovedAsideIsNotWrittenOver) {
  detail::setDiagnosticHandler(&recordDiagnostic);
  diagnostics.clear();
  // A directory where the lock file belongs: the lock is never held, so nothing is moved aside.
  const auto dir = makeTempDirectory("no-lock");
  fs::create_directory(dir / ".defaults.json.lock");
  const fs::path file = dir / "defaults.json";
  const std::string broken = R"({"web_token": "kept", "sessionDeta)";
  std::ofstream(file) << broken;

  auto d = UserDefaults::open(file);
  EXPECT_EQ(d->string("web_token"), std::nullopt);
  d->setString("k", "v");
  EXPECT_EQ(d->string("k"), std::nullopt);
  EXPECT_EQ(fileText(file), broken);
  EXPECT_EQ(diagnosticsStartingWith("[UserDefaults] Could not write " + file.string()), 1u);
  detail::setDiagnosticHandler(nullptr);
}

TEST(UserDefaultsTest, StandardLivesInTheDataDirectoryAndCanBeReplaced) {
  UserDefaults::setStandard(nullptr);
  UserDefaults::standard()->setString("standard-test", "v");
  EXPECT_EQ(nlohmann::json::parse(fileText(applicationDataDirectory() / "defaults.json")).at("standard-test"),
            "v");
  auto other = UserDefaults::open(makeTempDirectory("other") / "d.json");
  UserDefaults::setStandard(other);
  EXPECT_EQ(UserDefaults::standard(), other);
  UserDefaults::setStandard(nullptr);
  EXPECT_EQ(UserDefaults::standard()->string("standard-test"), "v");
  UserDefaults::standard()->remove("standard-test");
}

}  // namespace
}  // namespace velqo::platform
