// v1 signin: runs one V1 flow, printing every update as a JSON line and answering prompts
// with lines read from standard input.

#include <velqo/platform/queue.hpp>
#include <velqo/v1/flows/velqo_v1_sdk.hpp>

#include <memory>
#include <optional>
#include <string>

#include "commands.hpp"
#include "diagnostics.hpp"
#include "json_output.hpp"
#include "line_input.hpp"
#include "service_host.hpp"
#include "token_exchange.hpp"

namespace velqo::cli {
namespace {

// Drives one flow on the main queue: every member runs there (updates arrive on the main
// queue; the input reader and the exchange hand their results over to it).
class SigninDriver {
 public:
  SigninDriver(std::shared_ptr<VelqoV1FlowController> flow, bool autoPoll,
               std::optional<TokenExchange> exchange)
      : flow_(std::move(flow)), autoPoll_(autoPoll), exchange_(std::move(exchange)) {}

  int exitStatus() const { return status_; }

  void onUpdate(const VelqoV1FlowUpdate& update) {
    if (finished_) return;
    printJsonLine(updateToJson(update));
    switch (update.kind()) {
      case VelqoV1FlowUpdate::Case::prompt:
        handlePrompt(update.as<VelqoV1FlowUpdate::Prompt>()->prompt);
        break;
      case VelqoV1FlowUpdate::Case::completed:
        handleCompleted(*update.as<VelqoV1FlowUpdate::Completed>());
        break;
      case VelqoV1FlowUpdate::Case::error:
        finish(kExitFailure);
        break;
      case VelqoV1FlowUpdate::Case::loading:
      case VelqoV1FlowUpdate::Case::idle:
        break;
    }
  }

 private:
  void handlePrompt(const VelqoV1UserPrompt& prompt) {
    const auto kind = prompt.kind();
    if (kind == VelqoV1UserPrompt::Case::awaitApproval && autoPoll_) {
      input_.cancelRequest();  // the poll timer carries the flow on
      return;
    }
    askFor(kind);
  }

  void askFor(VelqoV1UserPrompt::Case kind) {
    input_.request([this, kind](std::optional<std::string> line) { answer(kind, std::move(line)); });
  }

  void answer(VelqoV1UserPrompt::Case kind, std::optional<std::string> line) {
    if (finished_) return;
    if (!line) {
      endOfInput();
      return;
    }
    registerSecret(*line);
    switch (kind) {
      case VelqoV1UserPrompt::Case::selectMethod:
        flow_->selectMethod(*line);
        break;
      case VelqoV1UserPrompt::Case::enterCode:
        if (*line == "resend") {
          const bool sent = flow_->resend();
          printJsonLine(Json{{"resend", sent}});
          // Nothing was sent: no answer will come, so the code is still awaited.
          if (!sent) askFor(kind);
        } else {
          flow_->submitCode(*line);
        }
        break;
      case VelqoV1UserPrompt::Case::enterTotp:
      case VelqoV1UserPrompt::Case::setupTotp:
        flow_->submitTotp(*line);
        break;
      case VelqoV1UserPrompt::Case::setupSms:
        flow_->submitPhone(*line);
        break;
      case VelqoV1UserPrompt::Case::redirect:
        if (auto callback = parseCallback(*line)) {
          registerSecret(callback->code);
          registerSecret(callback->state);
          flow_->oauthCallback(callback->code, callback->state);
        } else {
          printMessage("not a callback URL with \"code\" and \"state\"; enter the callback URL again");
          askFor(kind);
        }
        break;
      case VelqoV1UserPrompt::Case::awaitApproval:
        // Without automatic polling every line polls once.
        flow_->poll();
        askFor(kind);
        break;
    }
  }

  // End of input while an answer is needed cancels the flow; the service's answer to the
  // cancel ends the run (a second request for input after that ends it at once).
  void endOfInput() {
    if (cancelled_) {
      printMessage("input ended after the flow was cancelled");
      finish(kExitFailure);
      return;
    }
    cancelled_ = true;
    flow_->cancel();
  }

  void handleCompleted(const VelqoV1FlowUpdate::Completed& completed) {
    input_.cancelRequest();
    if (!exchange_) {
      finish(kExitOk);
      return;
    }
    exchange_->run(completed.authCode, completed.codeVerifier,
                   [this](bool ok) { finish(ok ? kExitOk : kExitFailure); });
  }

  void finish(int status) {
    if (finished_) return;
    finished_ = true;
    status_ = status;
    input_.cancelRequest();
    platform::mainQueue().stop();
  }

  std::shared_ptr<VelqoV1FlowController> flow_;
  bool autoPoll_;
  std::optional<TokenExchange> exchange_;
  LineInput input_;
  bool cancelled_ = false;
  bool finished_ = false;
  int status_ = kExitFailure;
};

VelqoV1FlowType flowTypeOf(const std::string& text) {
  return flowTypeFromRawValue(text).value_or(VelqoV1FlowType::signin);
}

}  // namespace

int runSignin(const SigninCommand& command) {
  registerSecret(command.identifier);
  registerSecret(command.configId);
  for (const auto& secret :
       {command.startToken, command.inviteCode, command.codeChallenge, command.relyingParty}) {
    if (secret) registerSecret(*secret);
  }

  std::optional<TokenExchange> exchange;
  if (command.token) {
    auto prepared = TokenExchange::prepare(*command.token);
    if (!prepared) return kExitUsage;
    exchange = std::move(*prepared);
  }

  const auto host = ServiceHost::open(command.baseUrl);
  const auto policy = command.manualMethod ? VelqoV1PrimaryMethodSelectionPolicy::manual
                                           : VelqoV1PrimaryMethodSelectionPolicy::automaticFromIdentifier;
  auto sdk = VelqoV1SDK::create(command.configId, host->baseUrl(), std::nullopt, command.relyingParty,
                                !command.noAutoPoll, policy);

  auto driver = std::make_unique<SigninDriver>(sdk->flow(), !command.noAutoPoll, std::move(exchange));
  sdk->flow()->setOnUpdate([raw = driver.get()](const VelqoV1FlowUpdate& update) { raw->onUpdate(update); });
  sdk->start(flowTypeOf(command.flow), command.identifier, command.startToken, command.inviteCode,
             command.codeChallenge);
  platform::mainQueue().runUntilStopped();

  sdk->flow()->setOnUpdate({});
  const int status = driver->exitStatus();
  sdk.reset();
  return status;
}

}  // namespace velqo::cli
