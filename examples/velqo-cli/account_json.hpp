#pragma once

// The JSON lines the account commands print: one object per event or result, with the keys
// scripts read. Absent optional values are written as null.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json_output.hpp"

namespace velqo::cli::account_json {

/// {"event": "otp_required"}
Json otpRequired();
/// {"event": "cancelled"}
Json cancelled();
/// {"event": "success", "accessToken": S|null, "refreshToken": S|null, "isLoginFlow": B}
Json success(const std::optional<std::string>& accessToken, const std::optional<std::string>& refreshToken,
             bool isLoginFlow);
/// {"event": "authorization_code", "code": S, "expiresIn": N|null}
Json authorizationCode(const std::string& code, std::optional<std::int64_t> expiresIn);
/// {"event": "additional_verification", "sessionId": S, "detail": S|null}
Json additionalVerification(const std::string& sessionId, const std::optional<std::string>& detail);
/// {"event": "error", "code": RAW, "message": S}
Json signinError(std::string_view rawCode, const std::string& message);

/// {"error": {"domain": S, "code": N, "message": S}}: an error object of a push operation.
Json errorObject(std::string_view domain, std::int64_t code, const std::string& message);
/// {"error": {"code": RAW, "message": S}}: a web-login failure.
Json webLoginError(std::string_view rawCode, const std::string& message);

}  // namespace velqo::cli::account_json
