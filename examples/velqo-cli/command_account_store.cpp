// account last-user / store-tokens / clear: what the device keeps for its users.

#include "account_commands.hpp"
#include "account_records.hpp"
#include "commands.hpp"
#include "diagnostics.hpp"

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
  // The facade reports no failure of its own: look again, so items that could not be removed
  // (a read-only data directory) are not reported as cleared.
  const char* cleared = "";
  bool remains = false;
  switch (action.scope) {
    case ClearScope::session:
      sdk.clearSessionTokens(action.userId);
      cleared = "session";
      remains = sessionItemsRemain(action.userId);
      break;
    case ClearScope::all:
      sdk.clearUserKeychainData(action.userId);
      cleared = "all";
      remains = userItemsRemain(action.userId);
      break;
    case ClearScope::lastUser:
      sdk.clearLastLoggedInUser();
      cleared = "last_user";
      remains = lastUserRecordRemains();
      break;
  }
  if (remains) {
    printJsonLine(Json{{"cleared", false}});
    printMessage("the stored items could not all be removed");
    return kExitFailure;
  }
  printJsonLine(Json{{"cleared", cleared}});
  return kExitOk;
}

}  // namespace velqo::cli
