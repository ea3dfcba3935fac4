// v1 exchange: redeems an authorization code at a token endpoint and verifies the ID token.

#include <velqo/platform/queue.hpp>

#include "commands.hpp"
#include "token_exchange.hpp"

namespace velqo::cli {

int runExchange(const ExchangeCommand& command) {
  auto exchange = TokenExchange::prepare(command.token);
  if (!exchange) return kExitUsage;
  int status = kExitFailure;
  exchange->run(command.code, command.verifier, [&status](bool ok) {
    status = ok ? kExitOk : kExitFailure;
    platform::mainQueue().stop();
  });
  platform::mainQueue().runUntilStopped();
  return status;
}

}  // namespace velqo::cli
