#include "account/facade/dev_session.hpp"

#include <optional>
#include <string>
#include <utility>

#include "account/facade/main_queue_hand_off.hpp"
#include "account/host_call.hpp"
#include "account/records/last_user_record.hpp"
#include "account/utils/velqo_framework_internal_utils.hpp"
#include "api/json_support.hpp"
#include "api/models/device_records.hpp"
#include "core/storage/keychain_manager.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/user_defaults.hpp"

namespace velqo {
namespace {

constexpr const char* kTag = "[DevSession INTERNAL] ";

void log(const std::string& text) {
  debugLog(kTag + text);
}

void report(const std::shared_ptr<DevSessionCallback>& callback, bool success) {
  if (!callback) return;
  account::detail::callHost(kTag, [&] { success ? callback->onSuccess() : callback->showError(); });
}

// The user's access token: the keychain item, else the value an older release kept in the user
// defaults, which is moved into the keychain (and removed only once the move succeeded, so a
// failed save is tried again next time).
std::optional<std::string> accessTokenFor(const std::string& user) {
  if (auto token = KeychainManager::getJWTAccessToken(user)) {
    log("Retrieved access token from Keychain for user " + user + ".");
    return token;
  }
  auto defaults = platform::UserDefaults::standard();
  auto legacy = defaults->string(DevSession::legacyAccessTokenKey);
  if (!legacy) {
    log("Error: Access token not found for user " + user + ". Needs Sign In.");
    return std::nullopt;
  }
  if (KeychainManager::saveJWTAccessToken(*legacy, user)) defaults->remove(DevSession::legacyAccessTokenKey);
  return legacy;
}

bool storeDevices(const std::vector<Device>& devices) {
  auto encoded = encodeRecord(devices);
  if (!encoded) {
    alwaysLog(std::string(kTag) + "Error encoding/saving device details for UserDefaults: " +
              encoded.error().localizedDescription());
    return false;
  }
  const std::string& text = encoded.value();
  platform::UserDefaults::standard()->setData(DevSession::devDetailsKey, Bytes(text.begin(), text.end()));
  log(std::string("Saved device details to UserDefaults key '") + DevSession::devDetailsKey + "'.");
  return true;
}

void handleAnswer(const ApiService::Outcome<GetDeviceDetailsResponse>& outcome,
                  const std::shared_ptr<DevSessionCallback>& callback) {
  if (!outcome) {
    log("Network/Decode Error: " + outcome.error().localizedDescription());
    report(callback, /*success=*/false);
    return;
  }
  const auto& [answer, status] = outcome.value();
  if (status != 200) {
    log("API Error: Status " + std::to_string(status) +
        ", Response Message: " + answer.message.value_or("N/A"));
    report(callback, /*success=*/false);
    return;
  }
  report(callback, answer.data && storeDevices(*answer.data));
}

}  // namespace

DevSession::DevSession(Passkey, std::shared_ptr<const ApiService> apiService, EndPoints endPoints,
                       std::shared_ptr<const VelqoFrameworkInternalUtils> internalUtils)
    : apiService_(std::move(apiService)),
      endPoints_(std::move(endPoints)),
      internalUtils_(std::move(internalUtils)) {}

std::shared_ptr<DevSession> DevSession::create(
    std::shared_ptr<const ApiService> apiService, EndPoints endPoints,
    std::shared_ptr<const VelqoFrameworkInternalUtils> internalUtils) {
  return std::make_shared<DevSession>(Passkey{}, std::move(apiService), std::move(endPoints),
                                      std::move(internalUtils));
}

void DevSession::fetchDeviceDetails(std::shared_ptr<DevSessionCallback> callback) const {
  const std::string url = endPoints_.loginBase + "/device/details";
  const std::string user = LastUserRecord::load().value_or("");
  if (user.empty()) {
    report(callback, /*success=*/false);
    return;
  }
  auto token = accessTokenFor(user);
  if (!token) {
    report(callback, /*success=*/false);
    return;
  }
  apiService_->get<GetDeviceDetailsResponse>(
      url, token,
      account::detail::onNextMainTurn<GetDeviceDetailsResponse>(
          [callback](const ApiService::Outcome<GetDeviceDetailsResponse>& outcome) {
            handleAnswer(outcome, callback);
          }));
  wipe(*token);
}

}  // namespace velqo
