// account last-user / store-tokens / clear: what the device keeps for its users.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "account_commands.hpp"
#include "commands.hpp"
#include "diagnostics.hpp"

namespace velqo::cli {
namespace {

// Whether a diagnostic line of the library tells of a removal that did not happen: an item or
// a hardware key that could not be deleted, or user defaults (the push registration record)
// whose change did not reach the disk.
bool tellsOfAFailedRemoval(std::string_view line) {
  for (std::string_view failure :
       {"[KeychainManager] Could not delete the item",
        "[V5CredentialStore] Could not delete the Secure Enclave key", "[UserDefaults] Could not write "}) {
    if (line.starts_with(failure)) return true;
  }
  return false;
}

}  // namespace

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
  // The facade reports no failure of its own, but every removal of the clear that fails writes
  // a line, delivered on this thread before the clear returns. Judging by those lines keeps
  // items that another process stores after the clear from being taken for a failure.
  const char* cleared = "";
  const std::vector<std::string> lines = linesWrittenDuring([&] {
    switch (action.scope) {
      case ClearScope::session:
        sdk.clearSessionTokens(action.userId);
        cleared = "session";
        break;
      case ClearScope::all:
        sdk.clearUserKeychainData(action.userId);
        cleared = "all";
        break;
      case ClearScope::lastUser:
        sdk.clearLastLoggedInUser();
        cleared = "last_user";
        break;
    }
  });
  if (std::any_of(lines.begin(), lines.end(), tellsOfAFailedRemoval)) {
    printJsonLine(Json{{"cleared", false}});
    printMessage("the stored items could not all be removed");
    return kExitFailure;
  }
  printJsonLine(Json{{"cleared", cleared}});
  return kExitOk;
}

}  // namespace velqo::cli
