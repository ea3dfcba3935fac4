#pragma once

// An in-memory item store whose next operation of a kind can be made to fail: the failure
// roads of everything that keeps items (keychain manager, credential stores, key store).

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "velqo/platform/item_store.hpp"

namespace velqo::testing {

class FaultyItemStore final : public platform::ItemStore {
 public:
  enum class Operation { add, copy, remove, replace };

  static std::shared_ptr<FaultyItemStore> create() { return std::make_shared<FaultyItemStore>(); }

  /// The next call of that operation (generic-password or key) fails with `status` and
  /// changes nothing. A replace adds an item, so it also takes an injected add failure.
  void failNext(Operation operation, platform::OSStatus status) {
    std::lock_guard lock(mutex_);
    faults_[operation] = status;
  }
  /// Number of stored items (both kinds).
  std::size_t itemCount() const { return inner_->itemCount(); }

  platform::OSStatus addGenericPassword(const std::string& service, const std::string& account,
                                        const Bytes& data, platform::Accessibility accessibility) override {
    if (auto injected = takeFault(Operation::add)) return *injected;
    return inner_->addGenericPassword(service, account, data, accessibility);
  }
  platform::OSStatus copyGenericPassword(const std::string& service, const std::string& account,
                                         Bytes& out) override {
    if (auto injected = takeFault(Operation::copy)) return *injected;
    return inner_->copyGenericPassword(service, account, out);
  }
  platform::OSStatus deleteGenericPassword(const std::string& service, const std::string& account) override {
    if (auto injected = takeFault(Operation::remove)) return *injected;
    return inner_->deleteGenericPassword(service, account);
  }
  platform::OSStatus replaceGenericPassword(const std::string& service, const std::string& account,
                                            const Bytes& data,
                                            platform::Accessibility accessibility) override {
    if (auto injected = takeFault(Operation::replace)) return *injected;
    if (auto injected = takeFault(Operation::add)) return *injected;
    return inner_->replaceGenericPassword(service, account, data, accessibility);
  }
  platform::OSStatus addKey(const platform::KeyItem& item) override {
    if (auto injected = takeFault(Operation::add)) return *injected;
    return inner_->addKey(item);
  }
  platform::OSStatus copyKey(const Bytes& applicationTag, platform::KeyType keyType, platform::KeyToken token,
                             platform::KeyItem& out) override {
    if (auto injected = takeFault(Operation::copy)) return *injected;
    return inner_->copyKey(applicationTag, keyType, token, out);
  }
  platform::OSStatus deleteKey(const Bytes& applicationTag, platform::KeyType keyType,
                               platform::KeyToken token) override {
    if (auto injected = takeFault(Operation::remove)) return *injected;
    return inner_->deleteKey(applicationTag, keyType, token);
  }

 private:
  // The injected status of the operation, consumed by this call.
  std::optional<platform::OSStatus> takeFault(Operation operation) {
    std::lock_guard lock(mutex_);
    auto it = faults_.find(operation);
    if (it == faults_.end()) return std::nullopt;
    platform::OSStatus injected = it->second;
    faults_.erase(it);
    return injected;
  }

  std::shared_ptr<platform::InMemoryItemStore> inner_ = platform::InMemoryItemStore::create();
  mutable std::mutex mutex_;
  std::map<Operation, platform::OSStatus> faults_;
};

}  // namespace velqo::testing
