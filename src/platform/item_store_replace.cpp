// The replace step for item-store backends that do not offer one of their own.

#include "velqo/platform/item_store.hpp"

namespace velqo::platform {

OSStatus ItemStore::replaceGenericPassword(const std::string& service, const std::string& account,
                                           const Bytes& data, Accessibility accessibility) {
  Bytes previous;
  ScopedWipe wipePrevious(previous);
  const bool hadPrevious = copyGenericPassword(service, account, previous) == status::success;
  const OSStatus deleted = deleteGenericPassword(service, account);
  const OSStatus added = addGenericPassword(service, account, data, accessibility);
  if (added != status::success && hadPrevious && deleted == status::success) {
    // Best effort: the add's status is what the caller learns either way.
    (void)addGenericPassword(service, account, previous, accessibility);
  }
  return added;
}

}  // namespace velqo::platform
