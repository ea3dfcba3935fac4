// End-to-end tests of velqo-cli's account commands: the built binary runs as a child process.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_process.hpp"

namespace velqo::e2e {
namespace {

// ---------------------------------------------------------------------------------------------
// Bad usage: refused before anything is built or sent, with status 2, one error line and the
// usage on standard error, and without echoing what was typed.

TEST(CliAccountUsage, BadAccountCommandLinesExitWithStatusTwoAndTheUsage) {
  const std::string secret = "secret-flow-42";
  const std::string deep = "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}";

  const std::vector<std::vector<std::string>> cases = {
      {"account"},
      {"account", secret},
      {"account", "v4"},
      {"account", "v4", "login", "--userid", "u"},
      {"account", "v5", "signin"},
      {"account", "v5", "signin", "--userid", ""},
      {"account", "v5", "signin", "--userid", "u", "--token-endpoint", "http://127.0.0.1:1/token"},
      {"account", "v5", "signin", "--userid", "u", "--client-id", "c", "--pem-file", "p"},
      {"account", "v5", "signin", "--userid", "u", "--api-key", ""},
      {"account", "v5", "signin", "--userid", "u", "--" + secret},
      {"account", "devices", "--base-url", ""},
      {"account", "last-user", "--token-endpoint", "t", "--client-id", "c", "--pem-file",
       "/nonexistent/" + secret},
      {"account", "last-user", "--userid", "u"},
      {"account", "push"},
      {"account", "push", secret},
      {"account", "push", "register"},
      {"account", "push", "register", "--token", "abc"},
      {"account", "push", "register", "--token", "0g"},
      {"account", "push", "register", "--token", "0a ff"},
      {"account", "push", "handle"},
      {"account", "push", "handle", "--payload", secret},
      {"account", "push", "handle", "--payload", "[\"" + secret + "\"]"},
      {"account", "push", "handle", "--payload", "{\"request_id\":"},
      {"account", "push", "handle", "--payload", deep},
      {"account", "push", "handle", "--payload", "{}", "--approve", "--decline"},
      {"account", "push", "approve"},
      {"account", "push", "decline", "--request-id", "r", "--approve"},
      {"account", "web-login"},
      {"account", "web-approve"},
      {"account", "store-tokens", "--userid", "u"},
      {"account", "clear", "--userid", "u"},
      {"account", "clear", "--userid", "u", "--session", "--all"},
      {"account", "clear", "--last-user", "--userid", "u"},
      {"account", "clear", "--all"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    const CliRun run = runCli(args);
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_TRUE(run.stdoutLines.empty()) << shown;
    EXPECT_EQ(run.stderrText.rfind("velqo-cli: ", 0), 0u) << shown << run.stderrText;
    EXPECT_NE(run.stderrText.find("usage: velqo-cli"), std::string::npos) << shown;
    EXPECT_NE(run.stderrText.find("account push handle"), std::string::npos)
        << "the usage names the account commands";
    EXPECT_EQ(run.stderrText.find(secret), std::string::npos) << "the value is echoed: " << shown;
  }
  for (const auto& help :
       std::vector<std::vector<std::string>>{{"account", "--help"}, {"account", "push", "help"}}) {
    const CliRun run = runCli(help);
    EXPECT_EQ(run.status, 0);
    ASSERT_FALSE(run.stdoutLines.empty());
    EXPECT_EQ(run.stdoutLines.front().rfind("usage: velqo-cli", 0), 0u);
  }
}

}  // namespace
}  // namespace velqo::e2e
