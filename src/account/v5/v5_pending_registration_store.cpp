#include "account/v5/v5_pending_registration_store.hpp"

#include <tuple>

#include "account/v5/stored_json.hpp"
#include "api/json_support.hpp"
#include "core/identity/identity_json.hpp"
#include "core/storage/keychain_manager.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/clock.hpp"

namespace velqo {

namespace {

constexpr const char* kLogTag = "[V5PendingRegistrationStore] ";

using R = V5PendingRegistration;
constexpr auto textFields = std::make_tuple(
    json::field("userId", &R::userId), json::field("deviceToken", &R::deviceToken),
    json::field("fingerprintHash", &R::fingerprintHash), json::field("environment", &R::environment));

}  // namespace

void to_json(json::Value& out, const V5PendingRegistration& record) {
  json::encodeFields(out, record, textFields);
  out["createdAt"] = record.createdAt;
}

void from_json(const json::Value& in, V5PendingRegistration& record) {
  json::decodeFields(in, record, textFields);
  auto it = in.find("createdAt");
  if (it == in.end())
    throw json::DecodeError(json::DecodeFailure::keyNotFound, "missing key").underKey("createdAt");
  if (!it->is_number())
    throw json::DecodeError(json::DecodeFailure::typeMismatch, "expected a number").underKey("createdAt");
  record.createdAt = it->get<double>();
}

std::optional<V5PendingRegistration> V5PendingRegistrationStore::load(const std::string& userId) const {
  auto data = KeychainManager::getData(serviceName_, userId);
  if (!data) return std::nullopt;
  auto decoded = json::decode<V5PendingRegistration>(
      std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
  if (!decoded) {
    debugLog(std::string(kLogTag) + "Failed to decode pending registration for user " + userId +
             "; clearing entry.");
    remove(userId);
    return std::nullopt;
  }
  if (platform::nowSecondsSince1970() - decoded.value().createdAt > lifetimeSeconds) {
    debugLog(std::string(kLogTag) + "Pending registration expired for user " + userId + "; clearing entry.");
    remove(userId);
    return std::nullopt;
  }
  return std::move(decoded).value();
}

void V5PendingRegistrationStore::save(const V5PendingRegistration& record) const {
  auto encoded = detail::encodeStoredRecord(record);
  if (!encoded) {
    debugLog(std::string(kLogTag) + "Failed to encode pending registration for user " + record.userId);
    return;
  }
  if (KeychainManager::save(bytesOf(encoded.value()), serviceName_, record.userId)) {
    debugLog(std::string(kLogTag) + "Saved pending registration for user " + record.userId);
  }
}

void V5PendingRegistrationStore::remove(const std::string& userId) const {
  KeychainManager::deleteItem(serviceName_, userId);
}

}  // namespace velqo
