#pragma once

// Where the account commands send their requests: the --base-url the user gave, or the loopback
// reference service started in this process with its account peers, whose state lives in the
// application data directory.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <velqo_localservice/access_tokens.hpp>
#include <velqo_localservice/device_list_peer.hpp>
#include <velqo_localservice/local_service.hpp>
#include <velqo_localservice/push_peer.hpp>
#include <velqo_localservice/token_endpoint.hpp>
#include <velqo_localservice/v4_peer.hpp>
#include <velqo_localservice/v5_peer.hpp>
#include <velqo_localservice/web_login_peer.hpp>

#include <nlohmann/json.hpp>

#include "account_state_lock.hpp"

namespace velqo::cli {

/// The account routes of the reference service on a LocalService, with their state read from
/// `stateFile` when it exists and written back by save() and on destruction. Other processes may
/// use the same file meanwhile: a write takes the account state lock, merges this process's
/// changes into the file as it is then (mergeAccountState) and replaces it in one rename (mode
/// 0600). Codes the service "sends" are printed on standard error.
class AccountPeers {
 public:
  /// Throws std::runtime_error when the state file exists but cannot be read.
  /// Authorization codes are redeemed at `tokens`, which must outlive the peers.
  AccountPeers(localservice::LocalService& service, localservice::TokenEndpoint& tokens,
               std::filesystem::path stateFile);
  /// Saves the changes made since the last save (taking the lock), if any.
  ~AccountPeers();
  AccountPeers(const AccountPeers&) = delete;
  AccountPeers& operator=(const AccountPeers&) = delete;

  /// Writes this process's changes into the state file under `held`, the caller's account state
  /// lock; nothing is written when there are none. False when the file could not be written;
  /// either way these changes are not written again on destruction.
  bool save(const AccountStateLock& held);

  /// A login request "from a browser" for the user; returns its id.
  std::string raiseLoginRequest(const std::string& userid);
  /// Opens a web session shown with `pin`; returns its web token.
  std::string openWebSession(const std::string& pin);

 private:
  using SignInHook = std::function<void(const std::string& userId, const std::string& token)>;
  SignInHook signInHook(std::string deviceId);
  localservice::V4Peer::Settings v4Settings();
  nlohmann::json snapshot() const;

  std::filesystem::path stateFile_;
  nlohmann::json saved_;  // the state as read or last saved: what this process changed is the rest
  std::shared_ptr<localservice::AccessTokens> tokens_;
  localservice::PushPeer push_;
  localservice::WebLoginPeer web_;
  std::shared_ptr<localservice::DeviceListPeer> devices_;
  localservice::V4Peer v4_;
  localservice::V5Peer v5_;
};

/// The account state file in the application data directory.
std::filesystem::path accountStateFile();

class AccountHost {
 public:
  /// Uses `baseUrl` when given; otherwise starts the embedded service with its account peers.
  /// Throws std::runtime_error when the embedded service cannot start.
  static std::unique_ptr<AccountHost> open(const std::optional<std::string>& baseUrl);
  virtual ~AccountHost() = default;

  /// The base URL the account facade derives its endpoints from.
  virtual std::string baseUrl() const = 0;

 protected:
  AccountHost() = default;
};

}  // namespace velqo::cli
