// account last-user / store-tokens / clear: what the device keeps for its users.

#include "account_commands.hpp"
#include "commands.hpp"

namespace velqo::cli {

int runLastUser(VelqoSDK& sdk) {
  printJsonLine(Json{{"lastUser", sdk.getLastLoggedInUser()}});
  return kExitOk;
}

int runStoreTokens(VelqoSDK& sdk, const StoreTokensAction& action) {
  const bool stored = sdk.storeBackendOAuthTokens(action.accessToken, action.refreshToken, action.userId);
  printJsonLine(Json{{"stored", stored}});
  return stored ? kExitOk : kExitFailure;
}

int runClear(VelqoSDK& sdk, const ClearAction& action) {
  switch (action.scope) {
    case ClearScope::session:
      sdk.clearSessionTokens(action.userId);
      printJsonLine(Json{{"cleared", "session"}});
      break;
    case ClearScope::all:
      sdk.clearUserKeychainData(action.userId);
      printJsonLine(Json{{"cleared", "all"}});
      break;
    case ClearScope::lastUser:
      sdk.clearLastLoggedInUser();
      printJsonLine(Json{{"cleared", "last_user"}});
      break;
  }
  return kExitOk;
}

}  // namespace velqo::cli
