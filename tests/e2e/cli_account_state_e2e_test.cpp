// velqo-cli's embedded account service keeps one state file in the data directory for all the
// account commands run on it: runs in parallel never read half of it, each keeps what it added
// or removed beside what the others did, and temporaries left by a dead writer are swept.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cli_process.hpp"
#include "support/test_environment.hpp"
#include "support/wait_bound.hpp"
#include "support/watchdog.hpp"

namespace velqo::e2e {
namespace {

using Json = nlohmann::json;

constexpr int kProcesses = 20;
constexpr const char* kStateFile = "localservice-account-state.json";

struct Finished {
  int status = -1;
  std::string out;
  std::string err;
};

// Starts every command at once (each with `input` on standard input), then waits for each.
std::vector<Finished> runTogether(const std::vector<std::vector<std::string>>& commands,
                                  const std::string& input = {}) {
  std::vector<std::unique_ptr<CliProcess>> processes;
  for (const auto& args : commands) {
    processes.push_back(std::make_unique<CliProcess>(args));
    if (!input.empty()) processes.back()->writeLine(input);
    processes.back()->closeStdin();
  }
  std::vector<Finished> finished;
  testing::runWithWatchdog(
      "a batch of parallel commands",
      [&] {
        for (auto& process : processes) {
          const int status = process->wait(testing::kWaitBound);
          finished.push_back(Finished{status, process->stdoutText(), process->stderrText()});
        }
      },
      2 * testing::kWaitBound);
  return finished;
}

std::vector<std::string> v5SignIn(const std::filesystem::path& dir, const std::string& user) {
  return inDataDirectory(dir, {"account", "v5", "signin", "--userid", user});
}

// The names in the directory that look like a temporary file.
std::vector<std::string> temporaries(const std::filesystem::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp") != std::string::npos) found.push_back(name);
  }
  return found;
}

// A returning sign-in: straight to success, no code asked for.
void expectLoginWithoutCode(const std::filesystem::path& dir, const std::string& user) {
  const CliRun run = runCli(v5SignIn(dir, user));
  EXPECT_EQ(run.status, 0) << user << ": " << run.stderrText;
  ASSERT_EQ(run.stdoutLines.size(), 1u) << user << " was asked for a code";
  EXPECT_TRUE(Json::parse(run.stdoutLines[0]).value("isLoginFlow", false)) << run.stdoutLines[0];
}

TEST(CliAccountState, ParallelRunsNeverReadAHalfWrittenStateFile) {
  const auto dir = testing::makeTempDirectory("state-readers");
  const std::string user = "reader@example.com";
  // A few users, so that writing the file takes a while.
  for (const std::string name : {"a@example.com", "b@example.com", "c@example.com", "reader@example.com"}) {
    ASSERT_EQ(runCli(v5SignIn(dir, name), "123456\n").status, 0);
  }
  // What a writer killed before its rename leaves, and a file of the same shape for another name.
  const auto stale = dir / ".localservice-account-state.json.tmp-Ab12Cd";
  const auto unrelated = dir / ".other-file.json.tmp-Ab12Cd";
  std::ofstream(stale) << "{\"half";
  std::ofstream(unrelated) << "{}";

  for (int round = 0; round < 8; ++round) {
    const auto runs = runTogether(std::vector(kProcesses, inDataDirectory(dir, {"account", "last-user"})));
    for (const auto& run : runs) {
      EXPECT_EQ(run.status, 0) << "round " << round << ": " << run.err;
      EXPECT_EQ(run.out, "{\"lastUser\":\"" + user + "\"}\n");
    }
  }
  // A run that changes the state sweeps what the dead writer left, and only that.
  testing::runWithWatchdog("a returning sign-in", [&] { expectLoginWithoutCode(dir, user); });
  EXPECT_EQ(temporaries(dir), std::vector<std::string>{unrelated.filename().string()});
  std::filesystem::remove(unrelated);
}

TEST(CliAccountState, ParallelCommandsKeepWhatEachAddedOrRemoved) {
  const auto dir = testing::makeTempDirectory("state-writers");
  auto users = [](const char* group) {
    std::vector<std::string> names;
    for (int i = 0; i < kProcesses; ++i)
      names.push_back(std::string(group) + std::to_string(i) + "@example.com");
    return names;
  };
  const std::vector<std::string> resumed = users("resumed-");
  const std::vector<std::string> fresh = users("fresh-");
  std::vector<std::string> requestIds;

  {
    // Registrations left open (no code given), each kept by the service...
    std::vector<std::vector<std::string>> commands;
    for (const auto& user : resumed) commands.push_back(v5SignIn(dir, user));
    for (const auto& run : runTogether(commands)) EXPECT_EQ(run.status, 1) << run.err;
    // ...then finished in parallel: the service removes each open registration as its device
    // is verified.
    for (const auto& run : runTogether(commands, "123456")) EXPECT_EQ(run.status, 0) << run.err;

    // New users sign in while login requests are raised for the first ones.
    commands.clear();
    for (const auto& user : fresh) commands.push_back(v5SignIn(dir, user));
    for (const auto& run : runTogether(commands, "123456")) EXPECT_EQ(run.status, 0) << run.err;
    commands.clear();
    for (int i = 0; i < kProcesses / 2; ++i) {
      commands.push_back(inDataDirectory(dir, {"local-service", "login-request", "--userid", resumed[i]}));
      commands.push_back(v5SignIn(dir, fresh[i]));  // a returning login
    }
    for (const auto& run : runTogether(commands)) {
      EXPECT_EQ(run.status, 0) << run.err;
      const Json line = Json::parse(run.out, nullptr, false);
      if (line.is_object() && line.contains("requestId")) requestIds.push_back(line["requestId"]);
    }
  }

  Json state = testing::readJsonFile(dir / kStateFile);
  ASSERT_TRUE(state.is_object());
  std::set<std::string> withDevice;
  for (const auto& [hindex, device] : state["v5"]["devices"].items()) withDevice.insert(device["userid"]);
  std::set<std::string> withToken;
  for (const auto& [token, user] : state["tokens"].items()) withToken.insert(user.get<std::string>());
  for (const auto& group : {resumed, fresh}) {
    for (const auto& user : group) {
      EXPECT_TRUE(withDevice.contains(user)) << user << " lost its device";
      EXPECT_TRUE(withToken.contains(user)) << user << " lost its bearer token";
      const Json listed = state["devices"].value(user, Json::array());
      EXPECT_EQ(listed.size(), 1u) << user << ": " << listed;
      EXPECT_EQ((listed.empty() ? Json::object() : listed[0]).value("id", ""), "velqo-cli-v5") << user;
    }
  }
  EXPECT_EQ(state["v5"]["registrations"], Json::object()) << "finished registrations stay removed";
  EXPECT_EQ(state["v5"]["completed_registrations"], 2 * kProcesses);
  ASSERT_EQ(requestIds.size(), static_cast<std::size_t>(kProcesses / 2));
  for (const auto& id : requestIds) EXPECT_TRUE(state["push"]["requests"].contains(id)) << id;

  for (int i = 0; i < kProcesses; i += 3) {
    testing::runWithWatchdog("returning sign-ins", [&] {
      expectLoginWithoutCode(dir, resumed[i]);
      expectLoginWithoutCode(dir, fresh[i]);
    });
  }
  EXPECT_EQ(temporaries(dir), std::vector<std::string>{});
}

}  // namespace
}  // namespace velqo::e2e
