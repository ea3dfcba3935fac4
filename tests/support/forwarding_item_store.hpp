#pragma once

// An item store that hands every operation to another one: the base of test stores that change
// one or two operations (slower writes, deletes that fail) and keep the rest.

#include <memory>
#include <string>
#include <utility>

#include "velqo/platform/item_store.hpp"

namespace velqo::testing {

class ForwardingItemStore : public platform::ItemStore {
 public:
  explicit ForwardingItemStore(std::shared_ptr<platform::ItemStore> items) : items_(std::move(items)) {}

  platform::OSStatus addGenericPassword(const std::string& service, const std::string& account,
                                        const Bytes& data, platform::Accessibility accessibility) override {
    return items_->addGenericPassword(service, account, data, accessibility);
  }
  platform::OSStatus copyGenericPassword(const std::string& service, const std::string& account,
                                         Bytes& out) override {
    return items_->copyGenericPassword(service, account, out);
  }
  platform::OSStatus deleteGenericPassword(const std::string& service, const std::string& account) override {
    return items_->deleteGenericPassword(service, account);
  }
  platform::OSStatus replaceGenericPassword(const std::string& service, const std::string& account,
                                            const Bytes& data,
                                            platform::Accessibility accessibility) override {
    return items_->replaceGenericPassword(service, account, data, accessibility);
  }
  platform::OSStatus addKey(const platform::KeyItem& item) override { return items_->addKey(item); }
  platform::OSStatus copyKey(const Bytes& applicationTag, platform::KeyType keyType, platform::KeyToken token,
                             platform::KeyItem& out) override {
    return items_->copyKey(applicationTag, keyType, token, out);
  }
  platform::OSStatus deleteKey(const Bytes& applicationTag, platform::KeyType keyType,
                               platform::KeyToken token) override {
    return items_->deleteKey(applicationTag, keyType, token);
  }

 private:
  std::shared_ptr<platform::ItemStore> items_;
};

}  // namespace velqo::testing
