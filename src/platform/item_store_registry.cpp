// The process-wide item store.

#include <mutex>
#include <utility>

#include "velqo/platform/environment.hpp"
#include "velqo/platform/item_store.hpp"

namespace velqo::platform {
namespace {

struct Registry {
  std::mutex mutex;
  std::shared_ptr<ItemStore> store;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

std::shared_ptr<ItemStore> itemStore() {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  if (!r.store) r.store = makeFileItemStore(applicationDataDirectory() / "keychain");
  return r.store;
}

void setItemStore(std::shared_ptr<ItemStore> store) {
  auto& r = registry();
  std::shared_ptr<ItemStore> previous;
  {
    std::lock_guard lock(r.mutex);
    previous = std::exchange(r.store, std::move(store));
  }
  // The previous store is released outside the lock (its destructor may be the host's).
}

}  // namespace velqo::platform
