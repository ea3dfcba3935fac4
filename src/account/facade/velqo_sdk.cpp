#include "velqo/account/velqo_sdk.hpp"

#include <mutex>
#include <utility>

#include "account/facade/push_record_turn.hpp"
#include "account/facade/velqo_sdk_state.hpp"
#include "account/records/last_user_record.hpp"
#include "account/v4/velqo_auth_v4.hpp"
#include "account/v5/velqo_auth_v5.hpp"
#include "core/storage/keychain_manager.hpp"
#include "platform/diagnostics.hpp"
#include "velqo/core/debug_sink.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo {
namespace {

// The first `count` characters of a UTF-8 text, never cutting one in the middle.
std::string leadingCharacters(const std::string& text, std::size_t count) {
  std::size_t end = 0;
  for (std::size_t seen = 0; end < text.size(); ++end) {
    const bool startsCharacter = (static_cast<unsigned char>(text[end]) & 0xC0) != 0x80;
    if (startsCharacter && seen++ == count) break;
  }
  return text.substr(0, end);
}

// The clearing and storing operations refuse a user id that is not UTF-8 or names another
// record: they would store what cannot be read back, or overwrite or delete the other record.
bool refusedUserId(const std::string& user, const char* operation) {
  const auto refusal = VelqoFrameworkInternalUtils::userIdRefusal(user);
  if (!refusal) return false;
  debugLog(std::string("[VelqoSDK] ") + operation + " refused for " + *refusal + ".");
  return true;
}

}  // namespace

std::optional<VelqoSDK::State::SignedIn> VelqoSDK::State::signedInUser() const {
  std::string user = LastUserRecord::load().value_or("");
  if (user.empty()) return std::nullopt;
  auto token = KeychainManager::getJWTAccessToken(user);
  if (!token) return std::nullopt;
  return SignedIn{std::move(user), std::move(*token)};
}

void VelqoSDK::State::forgetRegisteredTokenIfLastUser(const std::string& user) {
  if (LastUserRecord::load() != user) return;
  std::lock_guard lock(mutex);
  lastRegisteredApnsTokenString.reset();
}

VelqoSDK::VelqoSDK(Passkey, std::string projectApiKey, std::string baseURL,
                   std::optional<VelqoOAuthConfig> oauthConfig)
    : state_(std::make_shared<State>()) {
  State& s = *state_;
  s.userDefaults = platform::UserDefaults::standard();
  s.projectApiKey = std::move(projectApiKey);
  s.oauthConfig = std::move(oauthConfig);
  s.endPoints = EndPoints(baseURL);
  debugLog("[VelqoFramework] Initializing. Project API Key: " + leadingCharacters(s.projectApiKey, 5) +
           "..., Base URL: " + s.endPoints.authBase + " (input: " + baseURL +
           "), V3 Legacy Internally Set To: false");
  s.apiService = ApiService::create(s.projectApiKey);
  s.authV4InternalManager = VelqoAuthV4::create(s.apiService, s.oauthConfig, s.endPoints);
  s.authV5InternalManager = VelqoAuthV5::create(s.apiService, s.oauthConfig, s.endPoints);
  s.internalUtils = VelqoFrameworkInternalUtils::shared();
  s.devSessionManager = DevSession::create(s.apiService, s.endPoints, s.internalUtils);
  s.webLoginManager = WebLoginManager::create(s.apiService, s.endPoints, s.internalUtils);
}

std::shared_ptr<VelqoSDK> VelqoSDK::create(std::string projectApiKey, std::string baseURL,
                                           std::optional<VelqoOAuthConfig> oauthConfig) {
  return std::make_shared<VelqoSDK>(Passkey{}, std::move(projectApiKey), std::move(baseURL),
                                    std::move(oauthConfig));
}

VelqoSDK::~VelqoSDK() = default;

std::shared_ptr<VelqoPushAuthDelegate> VelqoSDK::State::delegate() const {
  std::lock_guard lock(mutex);
  return pushAuthDelegate.lock();
}

std::shared_ptr<VelqoPushAuthDelegate> VelqoSDK::pushAuthDelegate() const {
  return state_->delegate();
}

void VelqoSDK::setPushAuthDelegate(std::weak_ptr<VelqoPushAuthDelegate> delegate) {
  std::lock_guard lock(state_->mutex);
  state_->pushAuthDelegate = std::move(delegate);
}

// The engines keep the callback weakly; it is held here only for the call. A callback the host
// has already released reaches them as an empty pointer: the attempt then reports to nobody.
void VelqoSDK::authenticateV4(const std::string& userid, std::weak_ptr<AuthV4Callback> callback) {
  state_->authV4InternalManager->authenticate(userid, callback.lock());
}

void VelqoSDK::submitOtpV4(const std::string& otp) {
  state_->authV4InternalManager->submitOtp(otp);
}

void VelqoSDK::authenticateV5(const std::string& userid, std::weak_ptr<AuthV5Callback> callback) {
  state_->authV5InternalManager->authenticate(userid, callback.lock());
}

void VelqoSDK::submitOtpV5(const std::string& otp) {
  state_->authV5InternalManager->submitOtp(otp);
}

void VelqoSDK::getDeviceDetails(std::shared_ptr<DevSessionCallback> callback) {
  state_->devSessionManager->fetchDeviceDetails(std::move(callback));
}

void VelqoSDK::webLogin(const std::string& pin, std::shared_ptr<WebLoginCallback> callback) {
  state_->webLoginManager->webLogin(pin, std::move(callback));
}

void VelqoSDK::webApprove(const std::string& token, std::shared_ptr<WebLoginCallback> callback) {
  state_->webLoginManager->webApprove(token, std::move(callback));
}

bool VelqoSDK::isUsableUserId(const std::string& userId) {
  return !VelqoFrameworkInternalUtils::userIdRefusal(userId).has_value();
}

std::string VelqoSDK::getLastLoggedInUser() const {
  return LastUserRecord::load().value_or("");
}

bool VelqoSDK::storeBackendOAuthTokens(const std::string& accessToken,
                                       const std::optional<std::string>& refreshToken,
                                       const std::string& forUser) {
  if (refusedUserId(forUser, "storeBackendOAuthTokens")) return false;
  if (!KeychainManager::saveJWTTokenPair(accessToken, refreshToken.value_or(accessToken), forUser))
    return false;
  // The result tells about the tokens only; the last-user record is written on a best-effort basis.
  static_cast<void>(LastUserRecord::save(forUser));
  return true;
}

void VelqoSDK::clearSessionTokens(const std::string& forUser) {
  if (refusedUserId(forUser, "clearSessionTokens")) return;
  const platform::detail::HeldLines lines;  // the clear's lines wait until it is done
  detail::PushRecordTurn clearing;          // held throughout: no earlier answer records after it
  clearing.recordClear();
  KeychainManager::deleteJWTTokens(forUser);
  state_->userDefaults->remove(State::lastRegisteredTokenKeyPrefix + forUser);
  state_->forgetRegisteredTokenIfLastUser(forUser);
}

void VelqoSDK::clearUserKeychainData(const std::string& forUser) {
  if (refusedUserId(forUser, "clearUserKeychainData")) return;
  const platform::detail::HeldLines lines;  // the clear's lines wait until it is done
  detail::PushRecordTurn clearing;          // held throughout: no earlier answer records after it
  clearing.recordClear();
  KeychainManager::deleteItem(KeychainManager::serviceName(), forUser);
  KeychainManager::deleteV4PersistentDeviceToken(forUser);
  KeychainManager::deleteV3TokenId(forUser);
  KeychainManager::deleteJWTTokens(forUser);
  state_->authV5InternalManager->forgetUser(forUser);
  state_->userDefaults->remove(State::lastRegisteredTokenKeyPrefix + forUser);
  state_->forgetRegisteredTokenIfLastUser(forUser);
}

void VelqoSDK::clearLastLoggedInUser() {
  LastUserRecord::clear();
}

}  // namespace velqo
