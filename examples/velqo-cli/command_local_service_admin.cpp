// local-service login-request / web-session: what a browser would raise on the service, made on
// the embedded service's account state so the account commands have something to act on.

#include <velqo_localservice/local_service.hpp>
#include <velqo_localservice/token_endpoint.hpp>

#include <random>

#include "account_service.hpp"
#include "commands.hpp"
#include "json_output.hpp"

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
  localservice::LocalService service;
  localservice::TokenEndpoint tokens(service);
  AccountPeers peers(service, tokens, accountStateFile());
  Json out;
  if (command.kind == LocalServiceAdminCommand::Kind::loginRequest) {
    out = Json{{"requestId", peers.raiseLoginRequest(command.userId)}};
  } else {
    const std::string pin = command.pin.value_or(randomPin());
    out = Json{{"webPin", pin}, {"webToken", peers.openWebSession(pin)}};
  }
  if (!peers.save()) return kExitFailure;
  printJsonLine(out);
  return kExitOk;
}

}  // namespace velqo::cli
