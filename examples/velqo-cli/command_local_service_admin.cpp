// local-service login-request / web-session: what a browser would raise on the service, made on
// the embedded service's account state so the account commands have something to act on.

#include <velqo_localservice/local_service.hpp>
#include <velqo_localservice/token_endpoint.hpp>

#include <random>

#include "account_service.hpp"
#include "commands.hpp"
#include "diagnostics.hpp"
#include "json_output.hpp"
#include "running_service.hpp"

namespace velqo::cli {
namespace {

// Six random decimal digits, as a web page would show.
std::string randomPin() {
  std::random_device device;
  std::uniform_int_distribution<int> digit(0, 9);
  std::string pin;
  for (int i = 0; i < 6; ++i) pin.push_back(static_cast<char>('0' + digit(device)));
  return pin;
}

}  // namespace

int runLocalServiceAdmin(const LocalServiceAdminCommand& command) {
  const bool loginRequest = command.kind == LocalServiceAdminCommand::Kind::loginRequest;
  const std::string pin = loginRequest ? std::string() : command.pin.value_or(randomPin());
  // A foreground local-service on this data directory gets the change; its state file is
  // edited only when none runs (under the lock a starting service takes before reading it, and
  // every other writer of the file takes too).
  AccountStateLock lock;
  const RunningServiceAnswer running =
      loginRequest ? askRunningService("/velqo-cli/login-request", Json{{"userid", command.userId}})
                   : askRunningService("/velqo-cli/web-session", Json{{"pin", pin}});
  if (running.kind == RunningServiceAnswer::Kind::failed) {
    printMessage(running.error);
    return kExitFailure;
  }
  if (running.kind == RunningServiceAnswer::Kind::answered) {
    printJsonLine(running.body);
    return kExitOk;
  }

  localservice::LocalService service;
  localservice::TokenEndpoint tokens(service);
  AccountPeers peers(service, tokens, accountStateFile());
  Json out;
  if (loginRequest) {
    out = Json{{"requestId", peers.raiseLoginRequest(command.userId)}};
  } else {
    out = Json{{"webPin", pin}, {"webToken", peers.openWebSession(pin)}};
  }
  if (!peers.save(lock)) return kExitFailure;
  printJsonLine(out);
  return kExitOk;
}

}  // namespace velqo::cli
