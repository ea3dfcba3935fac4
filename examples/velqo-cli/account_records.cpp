#include "account_records.hpp"

namespace velqo::cli {

bool tellsOfAFailedRemoval(std::string_view line) {
  for (std::string_view failure :
       {"[KeychainManager] Could not delete the item",
        "[V5CredentialStore] Could not delete the Secure Enclave key", "[UserDefaults] Could not write "}) {
    if (line.starts_with(failure)) return true;
  }
  return false;
}

}  // namespace velqo::cli
