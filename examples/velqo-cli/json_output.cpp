#include "json_output.hpp"

#include <cstdio>
#include <mutex>
#include <string>
#include <type_traits>

namespace velqo::cli {
namespace {

template <class T>
void putOptional(Json& out, const char* key, const std::optional<T>& value) {
  if (value) out[key] = *value;
}

Json metaToJson(const VelqoV1ResponseMeta& meta) {
  return Json{{"traceId", meta.traceId}, {"expiresAt", meta.expiresAt}};
}

Json stepInfoToJson(const VelqoV1StepInfo& step) {
  Json out{{"id", step.id}};
  putOptional(out, "label", step.label);
  return out;
}

Json riskToJson(const VelqoV1RiskInfo& risk) {
  Json out{{"detected", risk.detected}, {"reasons", risk.reasons}};
  putOptional(out, "message", risk.message);
  if (risk.location) {
    Json location = Json::object();
    putOptional(location, "city", risk.location->city);
    putOptional(location, "country", risk.location->country);
    out["location"] = std::move(location);
  }
  putOptional(out, "risk_score", risk.riskScore);
  return out;
}

Json detailsToJson(const VelqoV1ErrorDetails& details) {
  Json out = Json::object();
  putOptional(out, "retry_after_seconds", details.retryAfterSeconds);
  putOptional(out, "retryAt", details.retryAt);
  putOptional(out, "attemptsRemaining", details.attemptsRemaining);
  if (details.errors) {
    Json errors = Json::array();
    for (const auto& e : *details.errors) errors.push_back(Json{{"field", e.field}, {"message", e.message}});
    out["errors"] = std::move(errors);
  }
  return out;
}

Json contextToJson(const VelqoV1PromptContext& context) {
  Json out{{"session", context.session()}, {"meta", metaToJson(context.meta())}};
  if (context.stepInfo()) out["stepInfo"] = stepInfoToJson(*context.stepInfo());
  if (context.risk()) out["risk"] = riskToJson(*context.risk());
  putOptional(out, "codeChannel", context.codeChannel());
  return out;
}

}  // namespace

void printJsonLine(const Json& value) {
  // Never destroyed: a completion may still print while the process exits.
  static auto* mutex = new std::mutex;
  std::string line = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  line.push_back('\n');
  std::lock_guard lock(*mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

const char* promptWireTag(const VelqoV1UserPrompt& prompt) {
  switch (prompt.kind()) {
    case VelqoV1UserPrompt::Case::selectMethod:
      return "select_method";
    case VelqoV1UserPrompt::Case::enterCode:
      return "enter_code";
    case VelqoV1UserPrompt::Case::setupTotp:
      return "setup_totp";
    case VelqoV1UserPrompt::Case::setupSms:
      return "setup_sms";
    case VelqoV1UserPrompt::Case::redirect:
      return "redirect";
    case VelqoV1UserPrompt::Case::awaitApproval:
      return "await_approval";
    case VelqoV1UserPrompt::Case::enterTotp:
      return "enter_totp";
  }
  return "unknown";
}

Json promptToJson(const VelqoV1UserPrompt& prompt) {
  Json out{{"type", promptWireTag(prompt)}};
  std::visit(
      [&](const auto& p) {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, VelqoV1UserPrompt::SelectMethod>) {
          Json methods = Json::array();
          for (const auto& m : p.methods) {
            Json method{{"id", m.id}, {"label", m.label}};
            putOptional(method, "icon", m.icon);
            methods.push_back(std::move(method));
          }
          putOptional(out, "phase", p.phase);
          out["methods"] = std::move(methods);
        } else if constexpr (std::is_same_v<T, VelqoV1UserPrompt::EnterCode>) {
          out["destination"] = p.destination;
          putOptional(out, "codeLength", p.codeLength);
          putOptional(out, "codeFormat", p.codeFormat);
          putOptional(out, "codeExpiresAt", p.codeExpiresAt);
          putOptional(out, "resendAt", p.resendAt);
        } else if constexpr (std::is_same_v<T, VelqoV1UserPrompt::SetupTotp>) {
          out["secret"] = p.secret;
          out["otpauthUrl"] = p.otpauthUrl;
          putOptional(out, "period", p.period);
        } else if constexpr (std::is_same_v<T, VelqoV1UserPrompt::SetupSms>) {
          putOptional(out, "existingPhone", p.existingPhone);
        } else if constexpr (std::is_same_v<T, VelqoV1UserPrompt::Redirect>) {
          out["url"] = p.url;
          putOptional(out, "returnScheme", p.returnScheme);
        } else if constexpr (std::is_same_v<T, VelqoV1UserPrompt::AwaitApproval>) {
          putOptional(out, "qrData", p.qrData);
          out["expiresAt"] = p.expiresAt;
          out["pollInterval"] = p.pollInterval;
        }
      },
      prompt.payload());
  return out;
}

Json updateToJson(const VelqoV1FlowUpdate& update) {
  Json out;
  std::visit(
      [&](const auto& u) {
        using T = std::decay_t<decltype(u)>;
        if constexpr (std::is_same_v<T, VelqoV1FlowUpdate::Loading>) {
          out["update"] = "loading";
          putOptional(out, "session", u.session);
        } else if constexpr (std::is_same_v<T, VelqoV1FlowUpdate::Prompt>) {
          out["update"] = "prompt";
          out["context"] = contextToJson(u.context);
          out["prompt"] = promptToJson(u.prompt);
        } else if constexpr (std::is_same_v<T, VelqoV1FlowUpdate::Completed>) {
          out["update"] = "completed";
          out["session"] = u.session;
          out["authCode"] = u.authCode;
          out["expiresAt"] = u.expiresAt;
          putOptional(out, "codeVerifier", u.codeVerifier);
          out["meta"] = metaToJson(u.meta);
        } else if constexpr (std::is_same_v<T, VelqoV1FlowUpdate::Error>) {
          out["update"] = "error";
          putOptional(out, "session", u.session);
          out["code"] = u.code;
          if (u.action) out["action"] = u.action->wireValue();
          out["message"] = u.message;
          out["retryable"] = u.retryable;
          if (u.details) out["details"] = detailsToJson(*u.details);
          if (u.meta) out["meta"] = metaToJson(*u.meta);
        } else {
          out["update"] = "idle";
        }
      },
      update.payload());
  return out;
}

}  // namespace velqo::cli
