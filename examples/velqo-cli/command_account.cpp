// account ...: builds one VelqoSDK for the service the options name and runs the command on it.

#include <velqo/platform/queue.hpp>
#include <velqo/platform/user_defaults.hpp>

#include <fstream>
#include <sstream>
#include <type_traits>
#include <variant>

#include "account_commands.hpp"
#include "account_service.hpp"
#include "commands.hpp"
#include "diagnostics.hpp"

namespace velqo::cli {

void AccountRun::finish(int status) {
  if (finished_) return;
  finished_ = true;
  status_ = status;
  platform::mainQueue().stop();
}

int AccountRun::run() {
  if (!finished_) platform::mainQueue().runUntilStopped();
  return status_;
}

std::optional<VelqoOAuthConfig> readOAuthConfig(const TokenOptions& options) {
  std::ifstream file(options.pemFile, std::ios::binary);
  std::ostringstream pem;
  if (file) pem << file.rdbuf();
  if (!file || pem.str().empty()) {
    printMessage("cannot read the PEM file given with --pem-file");
    return std::nullopt;
  }
  return VelqoOAuthConfig{options.tokenEndpoint, options.clientId, pem.str()};
}

std::optional<Json> userDefaultsJson(const std::string& key) {
  const auto defaults = platform::UserDefaults::standard();
  std::string text;
  if (auto data = defaults->data(key)) {
    text.assign(data->begin(), data->end());
  } else if (auto string = defaults->string(key)) {
    text = *string;
  } else {
    return std::nullopt;
  }
  Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

namespace {

// What the user typed on the command line never shows in a diagnostic line.
void registerSecrets(const AccountCommand& command) {
  registerSecret(command.service.apiKey);
  std::visit(
      [](const auto& action) {
        using T = std::decay_t<decltype(action)>;
        if constexpr (std::is_same_v<T, AccountSigninAction>) {
          registerSecret(action.userId);
        } else if constexpr (std::is_same_v<T, PushDecideAction>) {
          registerSecret(action.requestId);
        } else if constexpr (std::is_same_v<T, WebLoginAction>) {
          registerSecret(action.pin);
        } else if constexpr (std::is_same_v<T, WebApproveAction>) {
          registerSecret(action.token);
        } else if constexpr (std::is_same_v<T, StoreTokensAction>) {
          registerSecret(action.userId);
          registerSecret(action.accessToken);
          if (action.refreshToken) registerSecret(*action.refreshToken);
        } else if constexpr (std::is_same_v<T, ClearAction>) {
          registerSecret(action.userId);
        }
      },
      command.action);
}

int dispatch(VelqoSDK& sdk, const AccountAction& action) {
  return std::visit(
      [&](const auto& a) -> int {
        using T = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<T, AccountSigninAction>)
          return runAccountSignin(sdk, a);
        else if constexpr (std::is_same_v<T, PushRegisterAction>)
          return runPushRegister(sdk, a);
        else if constexpr (std::is_same_v<T, PushHandleAction>)
          return runPushHandle(sdk, a);
        else if constexpr (std::is_same_v<T, PushDecideAction>)
          return runPushDecide(sdk, a);
        else if constexpr (std::is_same_v<T, WebLoginAction>)
          return runWebLogin(sdk, a);
        else if constexpr (std::is_same_v<T, WebApproveAction>)
          return runWebApprove(sdk, a);
        else if constexpr (std::is_same_v<T, DevicesAction>)
          return runDevices(sdk);
        else if constexpr (std::is_same_v<T, LastUserAction>)
          return runLastUser(sdk);
        else if constexpr (std::is_same_v<T, StoreTokensAction>)
          return runStoreTokens(sdk, a);
        else
          return runClear(sdk, a);
      },
      action);
}

}  // namespace

int runAccount(const AccountCommand& command) {
  registerSecrets(command);
  std::optional<VelqoOAuthConfig> oauth;
  if (command.service.oauth) {
    oauth = readOAuthConfig(*command.service.oauth);
    if (!oauth) {
      printRawError(usageText());
      return kExitUsage;
    }
  }
  const auto host = AccountHost::open(command.service.baseUrl);
  auto sdk = VelqoSDK::create(command.service.apiKey, host->baseUrl(), oauth);
  const int status = dispatch(*sdk, command.action);
  // Answers still in flight find the facade gone and are dropped.
  sdk.reset();
  return status;
}

}  // namespace velqo::cli
