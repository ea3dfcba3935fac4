// account web-login / web-approve / devices: web login by PIN and the device list.

#include <velqo/platform/queue.hpp>
#include <velqo/platform/user_defaults.hpp>

#include <memory>

#include "account_commands.hpp"
#include "account_json.hpp"
#include "commands.hpp"
#include "diagnostics.hpp"

namespace velqo::cli {
namespace {

constexpr const char* kWebTokenKey = "web_token";
constexpr const char* kSessionDetailsKey = "sessionDetails";
constexpr const char* kDeviceListKey = "devDetails";

// One web-login step's outcome, handed to `onSuccess` or printed as the failure line.
class WebStep final : public WebLoginCallback {
 public:
  WebStep(AccountRun& run, std::function<void()> onSuccess) : run_(run), onSuccess_(std::move(onSuccess)) {}

  void showError(WebLoginErrorCode code, const std::string& message) override {
    if (run_.finished()) return;
    printJsonLine(account_json::webLoginError(code.rawValue(), message));
    run_.finish(kExitFailure);
  }
  void onSuccess() override {
    if (!run_.finished()) onSuccess_();
  }

 private:
  AccountRun& run_;
  std::function<void()> onSuccess_;
};

void approve(VelqoSDK& sdk, const std::string& token, AccountRun& run) {
  sdk.webApprove(token, std::make_shared<WebStep>(run, [&run] {
                   printJsonLine(Json{{"approved", true}});
                   run.finish(kExitOk);
                 }));
}

class DeviceListStep final : public DevSessionCallback {
 public:
  explicit DeviceListStep(AccountRun& run) : run_(run) {}

  void onSuccess() override {
    if (run_.finished()) return;
    auto devices = userDefaultsJson(kDeviceListKey);
    if (!devices) {
      failed();
      return;
    }
    printJsonLine(Json{{"devices", std::move(*devices)}});
    run_.finish(kExitOk);
  }
  void showError() override {
    if (!run_.finished()) failed();
  }

 private:
  void failed() {
    printJsonLine(Json{{"error", "device_details_failed"}});
    run_.finish(kExitFailure);
  }

  AccountRun& run_;
};

}  // namespace

int runWebLogin(VelqoSDK& sdk, const WebLoginAction& action) {
  AccountRun run;
  auto loggedIn = [&] {
    const auto token = platform::UserDefaults::standard()->string(kWebTokenKey);
    auto details = userDefaultsJson(kSessionDetailsKey);
    if (!token || !details) {
      printJsonLine(account_json::webLoginError("UNKNOWN_ERROR", "The web session was not stored."));
      run.finish(kExitFailure);
      return;
    }
    registerSecret(*token);
    printJsonLine(Json{{"webLogin", Json{{"webToken", *token}, {"sessionDetails", *details}}}});
    if (!action.approve) {
      run.finish(kExitOk);
      return;
    }
    approve(sdk, *token, run);
  };
  platform::mainQueue().async([&] { sdk.webLogin(action.pin, std::make_shared<WebStep>(run, loggedIn)); });
  return run.run();
}

int runWebApprove(VelqoSDK& sdk, const WebApproveAction& action) {
  AccountRun run;
  platform::mainQueue().async([&] { approve(sdk, action.token, run); });
  return run.run();
}

int runDevices(VelqoSDK& sdk) {
  AccountRun run;
  platform::mainQueue().async([&] { sdk.getDeviceDetails(std::make_shared<DeviceListStep>(run)); });
  return run.run();
}

}  // namespace velqo::cli
