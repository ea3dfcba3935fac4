#pragma once

// V5 registrations that wait for their one-time code (not installed).

#include <optional>
#include <string>

#include "core/identity/device_records.hpp"
#include "core/transport/json_codec.hpp"

namespace velqo {

/// A registration that has its device token and waits for the user's code. Stored as a JSON
/// object whose keys are the field names; `createdAt` is seconds since 1970 (a JSON number).
struct V5PendingRegistration {
  std::string userId;
  std::string deviceToken;
  std::string fingerprintHash;
  V5EnvironmentInfo environment;
  double createdAt = 0;

  friend bool operator==(const V5PendingRegistration&, const V5PendingRegistration&) = default;
};
void to_json(json::Value& out, const V5PendingRegistration& record);
void from_json(const json::Value& in, V5PendingRegistration& record);

/// One generic-password item per user under `serviceName` (account = the user id unchanged).
/// A record lives for 900 seconds after `createdAt` (by platform::now()); older or unreadable
/// records read as absent and are deleted. Never reports an error; thread-safe.
class V5PendingRegistrationStore {
 public:
  static constexpr double lifetimeSeconds = 900.0;

  explicit V5PendingRegistrationStore(std::string serviceName) : serviceName_(std::move(serviceName)) {}

  [[nodiscard]] const std::string& serviceName() const noexcept { return serviceName_; }

  /// The user's pending registration, or nothing. The stored user id is not compared.
  [[nodiscard]] std::optional<V5PendingRegistration> load(const std::string& userId) const;
  /// Stores the record under its own user id, replacing any earlier one; a failed write leaves
  /// no record.
  void save(const V5PendingRegistration& record) const;
  /// Deletes the user's record; a missing record is no error.
  void remove(const std::string& userId) const;

 private:
  std::string serviceName_;
};

}  // namespace velqo
