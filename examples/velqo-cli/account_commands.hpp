#pragma once

// The account commands' shared pieces: each command runs on one VelqoSDK and, when its work
// answers asynchronously, drives the main queue until the work's last callback.

#include <velqo/account/velqo_sdk.hpp>

#include <optional>
#include <string>

#include "cli_options.hpp"
#include "json_output.hpp"

namespace velqo::cli {

/// The end of a command whose results arrive on the main queue: the first finish() wins, sets
/// the exit status and stops the main queue. Used on the main queue only.
class AccountRun {
 public:
  void finish(int status);
  bool finished() const { return finished_; }
  /// Drives the main queue until finish() (returns at once when it was already called).
  int run();

 private:
  bool finished_ = false;
  int status_ = 1;
};

/// The OAuth settings of the token options (the PEM file read); nothing, after a message,
/// when the file cannot be read.
std::optional<VelqoOAuthConfig> readOAuthConfig(const TokenOptions& options);

/// The text under a user-defaults key read as JSON (a text or bytes value); nothing when the
/// key is absent or does not hold JSON.
std::optional<Json> userDefaultsJson(const std::string& key);

int runAccountSignin(VelqoSDK& sdk, const AccountSigninAction& action);
int runPushRegister(VelqoSDK& sdk, const PushRegisterAction& action);
int runPushHandle(VelqoSDK& sdk, const PushHandleAction& action);
int runPushDecide(VelqoSDK& sdk, const PushDecideAction& action);
int runWebLogin(VelqoSDK& sdk, const WebLoginAction& action);
int runWebApprove(VelqoSDK& sdk, const WebApproveAction& action);
int runDevices(VelqoSDK& sdk);
int runLastUser(VelqoSDK& sdk);
int runStoreTokens(VelqoSDK& sdk, const StoreTokensAction& action);
int runClear(VelqoSDK& sdk, const ClearAction& action);

}  // namespace velqo::cli
