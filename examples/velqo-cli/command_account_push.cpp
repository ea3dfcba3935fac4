// account push register / handle / approve / decline: push login from the host's side.

#include <velqo/platform/queue.hpp>
#include <velqo/platform/user_defaults.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "account_commands.hpp"
#include "account_json.hpp"
#include "commands.hpp"
#include "diagnostics.hpp"

namespace velqo::cli {
namespace {

constexpr const char* kRegisteredTokenKeyPrefix = "velqo_sdk_last_registered_apns_token_";

std::string lowerHex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (auto byte : bytes) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0f]);
  }
  return out;
}

// Longer than the transport's own bound on one exchange (60 seconds).
constexpr std::chrono::seconds kRegistrationAnswerBound{75};

// Whether an access token is stored for the last signed-in user, learnt without sending
// anything: a web-login approval checks the user and the token before its request and fails
// at once, on this thread, without them. The probe's facade has a base URL that does not parse
// ("%zz" is no escape), so the request it would build fails at once and never leaves the process;
// that failure is handed to the main queue and drained here.
bool hasAccessToken() {
  class Probe final : public WebLoginCallback {
   public:
    explicit Probe(bool& earlyFailure) : earlyFailure_(earlyFailure) {}
    void showError(WebLoginErrorCode, const std::string&) override {
      if (armed_) earlyFailure_ = true;
    }
    void onSuccess() override {}
    void disarm() { armed_ = false; }

   private:
    bool& earlyFailure_;
    bool armed_ = true;
  };
  bool earlyFailure = false;
  auto probe = std::make_shared<Probe>(earlyFailure);
  auto facade = VelqoSDK::create("velqo-cli-probe", "velqo-cli-probe%zz");
  facade->webApprove("", probe);
  probe->disarm();  // the failure of the unsent request says nothing about the token
  while (platform::mainQueue().drain() > 0) {
  }
  return !earlyFailure;
}

// Whether the facade can make the device fingerprint it sends with a registration: without
// one it sends nothing. The facade fingerprints the last user's id exactly as stored (per-user
// device secret, vendor identifier, device attributes); so does a V4 sign-in, which reports a
// fingerprint it cannot make as fingerprintError before any request. The probe facade's base
// URL does not parse, so a sign-in that got past the fingerprint fails at once with a network
// error and nothing leaves the process (see hasAccessToken); both outcomes come on the main
// queue and are drained here. Only the device secret may be created, as the facade would.
bool fingerprintAvailable(const std::string& user) {
  class Probe final : public AuthV4Callback {
   public:
    void onOtpRequired() override {}
    void onAuthSuccess(const std::optional<std::string>&, const std::optional<std::string>&, bool) override {}
    void onError(AuthV4ErrorCode errorCode, const std::string&) override {
      if (!code) code = errorCode;
    }
    std::optional<AuthV4ErrorCode> code;
  };
  auto probe = std::make_shared<Probe>();
  auto facade = VelqoSDK::create("velqo-cli-probe", "velqo-cli-probe%zz");
  facade->authenticateV4(user, probe);
  while (platform::mainQueue().drain() > 0) {
  }
  return probe->code != AuthV4ErrorCode::fingerprintError;
}

Json errorLine(const platform::PlatformError& error) {
  return account_json::errorObject(error.domain(), error.code(), error.localizedDescription());
}

Json detailsToJson(const PushLoginRequestDetails& details) {
  Json out{{"request_id", details.requestId}, {"ip_address", details.ipAddress}};
  if (details.location) out["location"] = *details.location;
  out["browser"] = details.deviceInfo;
  out["timestamp"] = details.timestamp;
  return out;
}

// Approves or declines a request; prints the outcome and finishes the run with it. The
// completion may come before the call returns (no signed-in user) or on the main queue.
void decide(VelqoSDK& sdk, const std::string& requestId, bool approve, AccountRun& run) {
  auto done = [approve, &run](const std::optional<platform::PlatformError>& error) {
    if (error) {
      printJsonLine(errorLine(*error));
      run.finish(kExitFailure);
      return;
    }
    printJsonLine(Json{{approve ? "approved" : "declined", true}});
    run.finish(kExitOk);
  };
  if (approve)
    sdk.approveLoginRequest(requestId, done);
  else
    sdk.declineLoginRequest(requestId, done);
}

// Receives the fetched login request and, when asked to, answers it.
class PushDelegate final : public VelqoPushAuthDelegate {
 public:
  PushDelegate(VelqoSDK& sdk, PushDecision decision, AccountRun& run)
      : sdk_(sdk), decision_(decision), run_(run) {}

  void didReceiveLoginRequest(const std::string& requestId, const PushLoginRequestDetails& details) override {
    if (run_.finished()) return;
    printJsonLine(
        Json{{"loginRequest", Json{{"requestId", requestId}, {"details", detailsToJson(details)}}}});
    if (decision_ == PushDecision::none) {
      run_.finish(kExitOk);
      return;
    }
    decide(sdk_, requestId, decision_ == PushDecision::approve, run_);
  }

  void failedToFetchLoginRequestDetails(const platform::PlatformError& error) override {
    if (run_.finished()) return;
    printJsonLine(errorLine(error));
    run_.finish(kExitFailure);
  }

 private:
  VelqoSDK& sdk_;
  PushDecision decision_;
  AccountRun& run_;
};

}  // namespace

int runPushRegister(VelqoSDK& sdk, const PushRegisterAction& action) {
  const std::string hex = lowerHex(action.token);
  const std::string user = sdk.getLastLoggedInUser();
  const auto defaults = platform::UserDefaults::standard();
  auto recorded = [&] { return defaults->string(kRegisteredTokenKeyPrefix + user); };

  // The facade registers silently: it sends a request only for a signed-in user with an access
  // token whose recorded token differs, and a device fingerprint, and reports nothing. Those
  // conditions are checked here first, so the command waits for an answer exactly when a
  // request goes out.
  const bool due = !user.empty() && recorded() != hex && hasAccessToken();
  const bool sends = due && fingerprintAvailable(user);
  sdk.userDidAuthenticate();
  sdk.setAPNsDeviceToken(Bytes(action.token.begin(), action.token.end()));
  if (sends) {
    // The answer is handled in one main-queue block; the transport bounds the exchange.
    const auto deadline = std::chrono::steady_clock::now() + kRegistrationAnswerBound;
    while (platform::mainQueue().drain() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  const bool registered = !user.empty() && recorded() == hex;
  printJsonLine(Json{{"pushToken", hex}, {"registered", registered}});
  // Without a signed-in user or access token the token is only kept for later; a registration
  // that was due and did not happen (refused, unanswered, no fingerprint) is a failure.
  return due && !registered ? kExitFailure : kExitOk;
}

int runPushHandle(VelqoSDK& sdk, const PushHandleAction& action) {
  const auto payload = VelqoPushPayload::fromJSONText(action.payloadJson);
  if (!payload) {
    printMessage("--payload takes a JSON object");
    return kExitUsage;
  }
  if (const auto* id = payload->find("request_id"); id && id->stringValue())
    registerSecret(*id->stringValue());

  AccountRun run;
  auto delegate = std::make_shared<PushDelegate>(sdk, action.decision, run);
  sdk.setPushAuthDelegate(delegate);
  bool handled = false;
  platform::mainQueue().async([&] {
    handled = sdk.handlePushNotification(*payload);
    if (!handled) {
      printJsonLine(Json{{"handled", false}});
      run.finish(kExitFailure);
    }
  });
  const int status = run.run();
  sdk.setPushAuthDelegate({});
  return status;
}

int runPushDecide(VelqoSDK& sdk, const PushDecideAction& action) {
  AccountRun run;
  platform::mainQueue().async([&] { decide(sdk, action.requestId, action.approve, run); });
  return run.run();
}

}  // namespace velqo::cli
