#include "account_json.hpp"

namespace velqo::cli::account_json {
namespace {

template <class T>
Json orNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace

Json otpRequired() {
  return Json{{"event", "otp_required"}};
}

Json cancelled() {
  return Json{{"event", "cancelled"}};
}

Json success(const std::optional<std::string>& accessToken, const std::optional<std::string>& refreshToken,
             bool isLoginFlow) {
  return Json{{"event", "success"},
              {"accessToken", orNull(accessToken)},
              {"refreshToken", orNull(refreshToken)},
              {"isLoginFlow", isLoginFlow}};
}

Json authorizationCode(const std::string& code, std::optional<std::int64_t> expiresIn) {
  return Json{{"event", "authorization_code"}, {"code", code}, {"expiresIn", orNull(expiresIn)}};
}

Json additionalVerification(const std::string& sessionId, const std::optional<std::string>& detail) {
  return Json{{"event", "additional_verification"}, {"sessionId", sessionId}, {"detail", orNull(detail)}};
}

Json signinError(std::string_view rawCode, const std::string& message) {
  return Json{{"event", "error"}, {"code", std::string(rawCode)}, {"message", message}};
}

Json errorObject(std::string_view domain, std::int64_t code, const std::string& message) {
  return Json{{"error", Json{{"domain", std::string(domain)}, {"code", code}, {"message", message}}}};
}

Json webLoginError(std::string_view rawCode, const std::string& message) {
  return Json{{"error", Json{{"code", std::string(rawCode)}, {"message", message}}}};
}

}  // namespace velqo::cli::account_json
