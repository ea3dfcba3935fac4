#pragma once

// The device list on the loopback reference service: the devices and sessions it knows for each
// user, served to that user's bearer token.

#include <memory>
#include <string>

#include "velqo_localservice/access_tokens.hpp"
#include "velqo_localservice/local_service.hpp"

namespace velqo::localservice {

/// Registers GET `loginBasePath` + "/device/details" on a LocalService for as long as it lives
/// (it must not outlive the service). Thread-safe.
///
/// A bearer token of `tokens` is required (else 401 {"api_status":false,"message":"Not
/// authenticated"}); the answer is 200 {"api_status":true, "data": the bearer's user's devices
/// (an empty array when none were set), "message":"Device details fetched"}.
class DeviceListPeer {
 public:
  DeviceListPeer(LocalService& service, std::shared_ptr<AccessTokens> tokens, std::string loginBasePath = "");
  ~DeviceListPeer();
  DeviceListPeer(const DeviceListPeer&) = delete;
  DeviceListPeer& operator=(const DeviceListPeer&) = delete;

  /// The user's devices as a JSON array text of device objects ({"id", "platform",
  /// "browser_name", "model", "os_version", "login_time"}), sent verbatim.
  void setDevices(const std::string& userid, std::string devicesJsonArray);
  /// Requests take these replies, oldest first, before any checking.
  void enqueueReply(Reply reply);

  /// Every user's device list as a JSON object text {userid: devices}, so a host can keep them
  /// across runs.
  std::string saveState() const;
  /// Replaces the lists with those of a saveState() text; false (and nothing changed) for any
  /// other text.
  bool restoreState(const std::string& state);

  struct State;

 private:
  LocalService& service_;
  std::string path_;
  std::shared_ptr<State> state_;
};

}  // namespace velqo::localservice
