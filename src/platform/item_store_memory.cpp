// In-memory item store, for hosts without storage.

#include <map>
#include <mutex>
#include <string>

#include "platform/item_store_internal.hpp"
#include "velqo/platform/item_store.hpp"

namespace velqo::platform {
namespace {

// A stored item; its secret bytes are wiped when it goes.
struct Entry {
  bool isKey = false;
  Bytes data;  // generic-password data
  Accessibility accessibility = Accessibility::whenUnlockedThisDeviceOnly;
  KeyItem key;

  Entry() = default;
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  ~Entry() {
    wipe(data);
    wipe(key.keyData);
  }
};

class MemoryItemStore final : public InMemoryItemStore {
 public:
  OSStatus addGenericPassword(const std::string& service, const std::string& account, const Bytes& data,
                              Accessibility accessibility) override {
    std::lock_guard lock(mutex_);
    if (!detail::validGenericPasswordQuery(service, account)) return status::badParameter;
    auto [it, inserted] = items_.try_emplace(detail::genericPasswordIdentity(service, account));
    if (!inserted) return status::duplicateItem;
    it->second.data = data;
    it->second.accessibility = accessibility;
    return status::success;
  }

  OSStatus copyGenericPassword(const std::string& service, const std::string& account, Bytes& out) override {
    std::lock_guard lock(mutex_);
    if (!detail::validGenericPasswordQuery(service, account)) return status::badParameter;
    auto it = items_.find(detail::genericPasswordIdentity(service, account));
    if (it == items_.end()) return status::itemNotFound;
    out = it->second.data;
    return status::success;
  }

  OSStatus deleteGenericPassword(const std::string& service, const std::string& account) override {
    std::lock_guard lock(mutex_);
    if (!detail::validGenericPasswordQuery(service, account)) return status::badParameter;
    return items_.erase(detail::genericPasswordIdentity(service, account)) ? status::success
                                                                           : status::itemNotFound;
  }

  OSStatus replaceGenericPassword(const std::string& service, const std::string& account, const Bytes& data,
                                  Accessibility accessibility) override {
    std::lock_guard lock(mutex_);
    if (!detail::validGenericPasswordQuery(service, account)) return status::badParameter;
    Entry& entry = items_[detail::genericPasswordIdentity(service, account)];
    wipe(entry.data);
    entry.data = data;
    entry.accessibility = accessibility;
    return status::success;
  }

  OSStatus addKey(const KeyItem& item) override {
    std::lock_guard lock(mutex_);
    if (!detail::validKeyQuery(item.applicationTag)) return status::badParameter;
    auto [it, inserted] =
        items_.try_emplace(detail::keyIdentity(item.applicationTag, item.keyType, item.token));
    if (!inserted) return status::duplicateItem;
    it->second.isKey = true;
    it->second.key = item;
    return status::success;
  }

  OSStatus copyKey(const Bytes& applicationTag, KeyType keyType, KeyToken token, KeyItem& out) override {
    std::lock_guard lock(mutex_);
    if (!detail::validKeyQuery(applicationTag)) return status::badParameter;
    auto it = items_.find(detail::keyIdentity(applicationTag, keyType, token));
    if (it == items_.end()) return status::itemNotFound;
    out = it->second.key;
    return status::success;
  }

  OSStatus deleteKey(const Bytes& applicationTag, KeyType keyType, KeyToken token) override {
    std::lock_guard lock(mutex_);
    if (!detail::validKeyQuery(applicationTag)) return status::badParameter;
    return items_.erase(detail::keyIdentity(applicationTag, keyType, token)) ? status::success
                                                                             : status::itemNotFound;
  }

  std::size_t itemCount() const override {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Entry> items_;
};

}  // namespace

std::shared_ptr<InMemoryItemStore> InMemoryItemStore::create() {
  return std::make_shared<MemoryItemStore>();
}

}  // namespace velqo::platform
