// v1 qr: approves a scanned QR payload with the device credential stored for the user.

#include <velqo/platform/http.hpp>
#include <velqo/platform/queue.hpp>
#include <velqo/v1/flows/qr_approval_service.hpp>
#include <velqo/v1/flows/qr_payload.hpp>
#include <velqo/v1/flows/velqo_v1_sdk.hpp>

#include <atomic>
#include <optional>

#include "commands.hpp"
#include "diagnostics.hpp"
#include "json_output.hpp"
#include "service_host.hpp"

namespace velqo::cli {
namespace {

Json errorJson(const VelqoV1QrApprovalError& error) {
  Json fields = Json::object();
  fields["code"] = error.code();
  fields["message"] = error.message();
  fields["retryable"] = error.retryable();
  fields["shouldClearRecord"] = error.shouldClearRecord();
  if (error.retryAfterSeconds()) fields["retryAfterSeconds"] = *error.retryAfterSeconds();
  return Json{{"error", std::move(fields)}};
}

Json outcomeJson(const VelqoV1QrApprovalOutcome& outcome) {
  Json out = Json::object();
  if (outcome.kind() == VelqoV1QrApprovalOutcome::Case::approved) {
    out["outcome"] = "approved";
  } else {
    out["outcome"] = "bound";
    out["userid"] = outcome.userid() ? Json(*outcome.userid()) : Json(nullptr);
  }
  return out;
}

}  // namespace

int runQr(const QrCommand& command) {
  registerSecret(command.identifier);
  registerSecret(command.configId);
  registerSecret(command.payload);

  const auto payload = VelqoV1QrPayloadParser::parse(command.payload);
  if (!payload) {
    printJsonLine(errorJson(VelqoV1QrApprovalError("invalid_payload", "The text is not a QR payload", false,
                                                   false, std::nullopt)));
    return kExitFailure;
  }
  registerSecret(payload->nonce);
  if (payload->phoneActionToken) registerSecret(*payload->phoneActionToken);

  const auto host = ServiceHost::open(command.baseUrl);
  // The entry object builds the settings and the device-trust service exactly as a sign-in
  // does, so the approval signs with the credential that sign-in stored.
  const auto sdk = VelqoV1SDK::create(command.configId, host->baseUrl());
  const auto service = VelqoV1QrApprovalService::create(sdk->client()->config(), sdk->crypto(),
                                                        platform::HttpSession::shared());

  std::atomic<int> status{kExitFailure};
  service->approve(*payload, command.identifier, command.rememberDevice,
                   [&status](const VelqoV1QrApprovalService::ApprovalResult& result) {
                     const int code = result.ok() ? kExitOk : kExitFailure;
                     const Json line = result.ok() ? outcomeJson(result.value()) : errorJson(result.error());
                     // The completion runs on the HTTP thread (or here, for a failure found
                     // before sending); the result is printed on the main queue.
                     platform::mainQueue().async([line, code, &status] {
                       printJsonLine(line);
                       status = code;
                       platform::mainQueue().stop();
                     });
                   });
  platform::mainQueue().runUntilStopped();
  return status;
}

}  // namespace velqo::cli
