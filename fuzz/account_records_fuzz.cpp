// Feeds arbitrary bytes to every decoder of the account side: the push payload, the stored V5
// record and pending registration (as records, and as the items their stores read), the Er1r2
// and last-user records, and the token answers. Records that decode must encode and decode
// back to an equal value; the stores must turn anything into a record, nothing or their own
// error. Any crash, sanitizer report or other exception is a finding.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "account/records/last_user_record.hpp"
#include "account/utils/velqo_framework_internal_utils.hpp"
#include "account/v5/v5_credential_store.hpp"
#include "account/v5/v5_pending_registration_store.hpp"
#include "api/json_support.hpp"
#include "api/models/oauth_records.hpp"
#include "api/models/v5_records.hpp"
#include "core/storage/keychain_manager.hpp"
#include "velqo/account/push_payload.hpp"
#include "velqo/platform/item_store.hpp"

namespace {

constexpr const char* kUser = "fuzz@example.com";
constexpr const char* kV5Service = "com.velqo.fuzz.velqo.v5";

void check(bool condition) {
  if (!condition) std::abort();
}

template <class T>
void roundTrip(std::string_view text) {
  auto first = velqo::json::decode<T>(text);
  if (!first) return;
  auto encoded = velqo::json::encode(first.value());
  if (!encoded) return;  // a text field that is not UTF-8 cannot be written back
  auto second = velqo::json::decode<T>(encoded.value());
  check(second && second.value() == first.value());
}

template <class T>
void roundTripRecord(std::string_view text) {
  auto first = velqo::decodeRecord<T>(text);
  if (!first) return;
  auto encoded = velqo::encodeRecord(first.value());
  if (!encoded) return;
  auto second = velqo::decodeRecord<T>(encoded.value());
  check(second && second.value() == first.value());
}

// The in-memory item store every store below reads, installed once.
velqo::platform::ItemStore& items() {
  static const auto store = [] {
    auto s = velqo::platform::InMemoryItemStore::create();
    velqo::platform::setItemStore(s);
    return s;
  }();
  return *store;
}

void put(const std::string& service, const std::string& account, const velqo::Bytes& data) {
  (void)items().replaceGenericPassword(service, account, data,
                                       velqo::platform::Accessibility::whenUnlockedThisDeviceOnly);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const velqo::Bytes bytes(data, data + size);

  if (auto payload = velqo::VelqoPushPayload::fromJSONText(text)) {
    check(*payload == *payload);
    if (const auto* id = payload->find("request_id")) (void)id->stringValue();
  }

  roundTrip<velqo::V5StoredPayload>(text);
  roundTrip<velqo::V5PendingRegistration>(text);
  roundTripRecord<velqo::OAuthTokenResponse>(text);
  roundTripRecord<velqo::VerifyOtpV5Response>(text);
  roundTripRecord<velqo::VerifyDeviceV5Response>(text);
  roundTripRecord<velqo::VerifyCipherV5Response>(text);

  // The same bytes as the stored items.
  put(kV5Service, kUser, bytes);
  try {
    (void)velqo::V5CredentialStore(kV5Service).load(kUser);
  } catch (const velqo::V5CredentialStoreError&) {
    // The store's own verdict on the record.
  }
  put(std::string(kV5Service) + ".pending", kUser, bytes);
  (void)velqo::V5PendingRegistrationStore(std::string(kV5Service) + ".pending").load(kUser);

  const auto utils = velqo::VelqoFrameworkInternalUtils::shared();
  put(velqo::KeychainManager::serviceName(), kUser, bytes);
  (void)utils->getEr1r2FromKeychain(kUser);
  put(velqo::KeychainManager::serviceName(), velqo::LastUserRecord::account, bytes);
  (void)velqo::LastUserRecord::load();
  return 0;
}
