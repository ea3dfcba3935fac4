// velqo-cli: a command-line host of the velqo library (V1 sign-in, QR approval, code exchange,
// stored device credentials) with the loopback reference service for local runs.

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <variant>
#include <vector>

#include "cli_options.hpp"
#include "commands.hpp"
#include "diagnostics.hpp"
#include "host_setup.hpp"

namespace {

using namespace velqo::cli;

int usageFailure(const std::string& message) {
  printRawError("velqo-cli: " + message);
  printRawError(usageText());
  return kExitUsage;
}

int run(const Invocation& invocation) {
  if (std::holds_alternative<HelpCommand>(invocation.command)) {
    std::fputs(usageText().c_str(), stdout);
    return kExitOk;
  }
  try {
    applyGlobalOptions(invocation.global);
  } catch (const std::exception& e) {
    printMessage(e.what());
    return kExitUsage;
  }
  return std::visit(
      [&](const auto& command) -> int {
        using T = std::decay_t<decltype(command)>;
        if constexpr (std::is_same_v<T, SigninCommand>)
          return runSignin(command);
        else if constexpr (std::is_same_v<T, QrCommand>)
          return runQr(command);
        else if constexpr (std::is_same_v<T, ExchangeCommand>)
          return runExchange(command);
        else if constexpr (std::is_same_v<T, CredentialsCommand>)
          return runCredentials(command);
        else if constexpr (std::is_same_v<T, ForgetCommand>)
          return runForget(command);
        else if constexpr (std::is_same_v<T, LocalServiceCommand>)
          return runLocalService(command);
        else if constexpr (std::is_same_v<T, AccountCommand>)
          return runAccount(command);
        else if constexpr (std::is_same_v<T, LocalServiceAdminCommand>)
          return runLocalServiceAdmin(command);
        else
          return kExitOk;
      },
      invocation.command);
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away, or a write past the file-size limit, must not kill the process in
  // the middle of a write: the write fails with an error the command reports instead.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto parsed = parseCommandLine(args);
  if (const auto* error = std::get_if<UsageError>(&parsed)) return usageFailure(error->message);
  try {
    return run(std::get<Invocation>(parsed));
  } catch (const std::exception& e) {
    printMessage(std::string("failed: ") + e.what());
    return kExitFailure;
  } catch (...) {
    printMessage("failed");
    return kExitFailure;
  }
}
