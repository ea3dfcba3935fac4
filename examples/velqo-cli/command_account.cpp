// account ...: the account commands, each on one account facade.

#include "commands.hpp"
#include "diagnostics.hpp"

namespace velqo::cli {

int runAccount(const AccountCommand&) {
  printMessage("the account interface is not available in this build");
  return kExitFailure;
}

}  // namespace velqo::cli
