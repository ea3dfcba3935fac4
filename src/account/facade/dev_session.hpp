#pragma once

// The device list of the signed-in user (internal; reached through VelqoSDK).

#include <memory>

#include "core/transport/api_service.hpp"
#include "core/transport/end_points.hpp"
#include "velqo/account/dev_session_callback.hpp"

namespace velqo {

class VelqoFrameworkInternalUtils;

/// Fetches the devices and sessions the service knows for the last signed-in user and leaves
/// them in the standard user defaults under "devDetails" (compact JSON array of Device records)
/// for the host application. Immutable after construction; keeps no state between calls, so it
/// may be used from any thread.
class DevSession {
  // Only `create` can make one.
  class Passkey {
    Passkey() = default;
    friend class DevSession;
  };

 public:
  /// User-defaults keys.
  static constexpr const char* devDetailsKey = "devDetails";
  /// Where an older release kept the access token; moved into the keychain on first use.
  static constexpr const char* legacyAccessTokenKey = "access_token";

  static std::shared_ptr<DevSession> create(std::shared_ptr<const ApiService> apiService, EndPoints endPoints,
                                            std::shared_ptr<const VelqoFrameworkInternalUtils> internalUtils);
  /// Use `create`.
  DevSession(Passkey, std::shared_ptr<const ApiService> apiService, EndPoints endPoints,
             std::shared_ptr<const VelqoFrameworkInternalUtils> internalUtils);

  /// Calls exactly one of the callback's operations, once. Without a last signed-in user, or
  /// without an access token in the keychain or the legacy user-defaults value, showError()
  /// comes at once on the caller's thread; otherwise the answer is handled on the main queue,
  /// one turn after the transport delivered it there. Only a 200 answer with "data" succeeds;
  /// a failure never touches an earlier "devDetails".
  void fetchDeviceDetails(std::shared_ptr<DevSessionCallback> callback) const;

 private:
  std::shared_ptr<const ApiService> apiService_;
  EndPoints endPoints_;
  std::shared_ptr<const VelqoFrameworkInternalUtils> internalUtils_;
};

}  // namespace velqo
