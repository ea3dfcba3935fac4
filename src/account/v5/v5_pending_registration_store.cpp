#include "account/v5/v5_pending_registration_store.hpp"

#include <tuple>

#include "api/json_support.hpp"
#include "core/identity/identity_json.hpp"
#include "core/storage/keychain_record.hpp"
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
  auto stored = KeychainRecord(serviceName_, userId).load();
  if (!stored) return std::nullopt;
  auto decoded = *stored ? json::decodeValue<V5PendingRegistration>(stored->value().document())
                         : Result<V5PendingRegistration, platform::PlatformError>::failure(stored->error());
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
  auto encoded = recordJson(record, Slashes::escaped);
  if (!encoded) {
    debugLog(std::string(kLogTag) + "Failed to encode pending registration for user " + record.userId);
    return;
  }
  if (KeychainRecord(serviceName_, record.userId).saveText(std::move(encoded).value())) {
    debugLog(std::string(kLogTag) + "Saved pending registration for user " + record.userId);
  }
}

void V5PendingRegistrationStore::remove(const std::string& userId) const {
  KeychainRecord(serviceName_, userId).remove();
}

}  // namespace velqo
