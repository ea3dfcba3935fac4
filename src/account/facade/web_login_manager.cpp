#include "account/facade/web_login_manager.hpp"

#include <optional>
#include <utility>

#include "account/facade/main_queue_hand_off.hpp"
#include "account/host_call.hpp"
#include "account/records/last_user_record.hpp"
#include "account/utils/velqo_framework_internal_utils.hpp"
#include "api/json_support.hpp"
#include "api/models/web_login_records.hpp"
#include "core/storage/keychain_manager.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/user_defaults.hpp"

namespace velqo {
namespace {

constexpr const char* kTag = "[WebLoginManager INTERNAL] ";
constexpr const char* kNetworkMessage =
    "A network error occurred. Please check your connection and try again.";

void log(const std::string& text) {
  debugLog(kTag + text);
}

// What a call ends with: success, or a code with its sentence.
struct Outcome {
  std::optional<WebLoginErrorCode> code;
  std::string message;

  static Outcome success() { return {}; }
  static Outcome failure(WebLoginErrorCode code, std::string message) { return {code, std::move(message)}; }
};

void report(const std::shared_ptr<WebLoginCallback>& callback, const Outcome& outcome) {
  if (!callback) return;
  account::detail::callHost(kTag, [&] {
    if (outcome.code) {
      callback->showError(*outcome.code, outcome.message);
    } else {
      callback->onSuccess();
    }
  });
}

// The transport completion of a call: `handle` turns the answer into the call's outcome, which
// reaches the callback on the main queue one turn after the transport's own delivery there.
template <class Response, class Handle>
ApiService::Completion<Response> reportingTo(std::shared_ptr<WebLoginCallback> callback, Handle handle) {
  return account::detail::onNextMainTurn<Response>(
      [callback = std::move(callback), handle](const ApiService::Outcome<Response>& outcome) {
        report(callback, handle(outcome));
      });
}

Outcome storePendingSession(const std::string& webToken, const SessionDetails& details) {
  auto encoded = encodeRecord(details, 2);
  if (!encoded) {
    alwaysLog(std::string(kTag) +
              "Error encoding/saving web login SessionDetails: " + encoded.error().localizedDescription());
    return Outcome::failure(WebLoginErrorCode::unknownError, "Failed to process session details.");
  }
  const std::string& text = encoded.value();
  log(std::string("Encoding SessionDetails for UserDefaults (key: ") + WebLoginManager::sessionDetailsKey +
      "):\n" + text);
  auto defaults = platform::UserDefaults::standard();
  defaults->setData(WebLoginManager::sessionDetailsKey, Bytes(text.begin(), text.end()));
  log(std::string("Saved session details to UserDefaults key '") + WebLoginManager::sessionDetailsKey + "'.");
  defaults->setString(WebLoginManager::webTokenKey, webToken);
  log(std::string("Saved web token to UserDefaults key '") + WebLoginManager::webTokenKey + "'.");
  return Outcome::success();
}

Outcome handleLogin(const ApiService::Outcome<WebLoginResponse>& outcome) {
  if (!outcome) {
    log("webLogin Network/Decode Error: " + outcome.error().localizedDescription());
    return Outcome::failure(WebLoginErrorCode::networkError, kNetworkMessage);
  }
  const auto& [answer, status] = outcome.value();
  log("webLogin API response status: " + std::to_string(status));
  if (status == 400) {
    log("webLogin API returned 400 (Likely Invalid PIN). Detail: " + answer.message.value_or("N/A"));
    return Outcome::failure(WebLoginErrorCode::invalidPin,
                            "The PIN entered is invalid or expired. Please try again.");
  }
  if (status != 200) {
    log("webLogin API Error: Status " + std::to_string(status) +
        ". Detail: " + answer.message.value_or("N/A"));
    return Outcome::failure(WebLoginErrorCode::unknownError,
                            "Web login failed (Status: " + std::to_string(status) + ").");
  }
  if (!answer.data || !answer.data->webToken || !answer.data->sessionDetails) {
    return Outcome::failure(WebLoginErrorCode::unknownError,
                            "Incomplete response from server after PIN verification.");
  }
  return storePendingSession(*answer.data->webToken, *answer.data->sessionDetails);
}

Outcome handleApproval(const ApiService::Outcome<WebLoginApproveResponse>& outcome) {
  if (!outcome) {
    log("webApprove Network/Decode Error: " + outcome.error().localizedDescription());
    return Outcome::failure(WebLoginErrorCode::networkError, kNetworkMessage);
  }
  const auto& [answer, status] = outcome.value();
  log("webApprove API response status: " + std::to_string(status));
  if (status != 200) {
    log("webApprove API Error: Status " + std::to_string(status) +
        ", Response Message: " + answer.message.value_or("N/A"));
    return Outcome::failure(WebLoginErrorCode::failedApprove, "Failed to approve the web login request.");
  }
  auto defaults = platform::UserDefaults::standard();
  defaults->remove(WebLoginManager::webTokenKey);
  defaults->remove(WebLoginManager::sessionDetailsKey);
  log(std::string("Removed temporary web token (key: '") + WebLoginManager::webTokenKey +
      "') and session details (key: '" + WebLoginManager::sessionDetailsKey + "') from UserDefaults.");
  return Outcome::success();
}

}  // namespace

WebLoginManager::WebLoginManager(Passkey, std::shared_ptr<const ApiService> apiService, EndPoints endPoints,
                                 std::shared_ptr<const VelqoFrameworkInternalUtils> internalUtils)
    : apiService_(std::move(apiService)),
      endPoints_(std::move(endPoints)),
      internalUtils_(std::move(internalUtils)) {}

std::shared_ptr<WebLoginManager> WebLoginManager::create(
    std::shared_ptr<const ApiService> apiService, EndPoints endPoints,
    std::shared_ptr<const VelqoFrameworkInternalUtils> internalUtils) {
  return std::make_shared<WebLoginManager>(Passkey{}, std::move(apiService), std::move(endPoints),
                                           std::move(internalUtils));
}

void WebLoginManager::webLogin(const std::string& pin, std::shared_ptr<WebLoginCallback> callback) const {
  apiService_->post<WebLoginResponse>(endPoints_.authBase + "/v4/websession-details", WebLoginRequest{pin},
                                      std::nullopt,
                                      reportingTo<WebLoginResponse>(std::move(callback), handleLogin));
}

void WebLoginManager::webApprove(const std::string& token, std::shared_ptr<WebLoginCallback> callback) const {
  const std::string url = endPoints_.authBase + "/v4/websession-approve";
  const std::string user = LastUserRecord::load().value_or("");
  if (user.empty()) {
    report(callback,
           Outcome::failure(WebLoginErrorCode::unknownError, "Cannot identify current user session."));
    return;
  }
  auto accessToken = KeychainManager::getJWTAccessToken(user);
  if (!accessToken) {
    log("webApprove Error: Failed to retrieve JWT access token from Keychain for user '" + user + "'.");
    report(callback, Outcome::failure(WebLoginErrorCode::unknownError,
                                      "User session invalid or expired. Please log in again."));
    return;
  }
  log("webApprove: Retrieved internal JWT access token for user '" + user + "'.");
  apiService_->post<WebLoginApproveResponse>(
      url, WebLoginApproveRequest{token}, accessToken,
      reportingTo<WebLoginApproveResponse>(std::move(callback), handleApproval));
  wipe(*accessToken);
}

}  // namespace velqo
