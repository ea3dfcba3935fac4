// account v4 signin / account v5 signin: one sign-in attempt, each event printed as a JSON
// line, the one-time code read from standard input.

#include <velqo/platform/queue.hpp>

#include <memory>

#include "account_commands.hpp"
#include "account_json.hpp"
#include "commands.hpp"
#include "diagnostics.hpp"
#include "line_input.hpp"

namespace velqo::cli {
namespace {

// Receives the events of either engine; every member runs on the main queue (a resumed V5
// registration's code request comes on the thread that started the attempt, which is the main
// queue here too).
class SigninDriver final : public AuthV4Callback, public AuthV5Callback {
 public:
  SigninDriver(VelqoSDK& sdk, AccountEngine engine) : sdk_(sdk), engine_(engine) {}

  int run(const std::string& userId) {
    platform::mainQueue().async([this, userId] {
      if (engine_ == AccountEngine::v4)
        sdk_.authenticateV4(userId, std::static_pointer_cast<AuthV4Callback>(self_.lock()));
      else
        sdk_.authenticateV5(userId, std::static_pointer_cast<AuthV5Callback>(self_.lock()));
    });
    const int status = run_.run();
    input_.cancelRequest();
    return status;
  }

  void setSelf(const std::shared_ptr<SigninDriver>& self) { self_ = self; }

  void onOtpRequired() override {
    if (run_.finished()) return;
    printJsonLine(account_json::otpRequired());
    input_.request([this](std::optional<std::string> line) { submit(std::move(line)); });
  }

  void onAuthSuccess(const std::optional<std::string>& accessToken,
                     const std::optional<std::string>& refreshToken, bool isLoginFlow) override {
    if (accessToken) registerSecret(*accessToken);
    if (refreshToken) registerSecret(*refreshToken);
    end(account_json::success(accessToken, refreshToken, isLoginFlow), kExitOk);
  }

  void onError(AuthV4ErrorCode errorCode, const std::string& errorMessage) override {
    end(account_json::signinError(errorCode.rawValue(), errorMessage), kExitFailure);
  }

  void onError(AuthV5ErrorCode errorCode, const std::string& errorMessage) override {
    end(account_json::signinError(errorCode.rawValue(), errorMessage), kExitFailure);
  }

  void onAuthorizationCode(const std::string& code, std::optional<std::int64_t> expiresIn) override {
    registerSecret(code);
    end(account_json::authorizationCode(code, expiresIn), kExitOk);
  }

  void onAdditionalVerificationRequired(const std::string& sessionId,
                                        const std::optional<std::string>& detail) override {
    registerSecret(sessionId);
    end(account_json::additionalVerification(sessionId, detail), kExitOk);
  }

 private:
  void submit(std::optional<std::string> line) {
    if (run_.finished()) return;
    if (!line) {
      end(account_json::cancelled(), kExitFailure);
      return;
    }
    registerSecret(*line);
    if (engine_ == AccountEngine::v4)
      sdk_.submitOtpV4(*line);
    else
      sdk_.submitOtpV5(*line);
  }

  void end(const Json& line, int status) {
    if (run_.finished()) return;
    printJsonLine(line);
    input_.cancelRequest();
    run_.finish(status);
  }

  VelqoSDK& sdk_;
  AccountEngine engine_;
  std::weak_ptr<SigninDriver> self_;
  LineInput input_;
  AccountRun run_;
};

}  // namespace

int runAccountSignin(VelqoSDK& sdk, const AccountSigninAction& action) {
  auto driver = std::make_shared<SigninDriver>(sdk, action.engine);
  driver->setSelf(driver);
  return driver->run(action.userId);
}

}  // namespace velqo::cli
