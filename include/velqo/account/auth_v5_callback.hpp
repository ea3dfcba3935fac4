#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "velqo/account/error_codes.hpp"
#include "velqo/export.hpp"

namespace velqo {

/// What the host application learns about a V5 sign-in. The engine keeps the callback weakly
/// (pass it as a shared_ptr and keep it alive for the attempt). Operations are called on the
/// main queue, except those raised before any request is sent, which come on the caller's
/// thread. An exception thrown by an operation is caught and dropped.
class VELQO_API AuthV5Callback {
 public:
  virtual ~AuthV5Callback() = default;

  /// The service wants a one-time code: collect it and submit it.
  virtual void onOtpRequired() = 0;
  /// The attempt succeeded; isLoginFlow tells a login (true) from a registration (false).
  virtual void onAuthSuccess(const std::optional<std::string>& accessToken,
                             const std::optional<std::string>& refreshToken, bool isLoginFlow) = 0;
  /// The attempt failed; `errorMessage` is the sentence for the user.
  virtual void onError(AuthV5ErrorCode errorCode, const std::string& errorMessage) = 0;
  /// The service handed out an authorization code for the host application to redeem itself;
  /// `expiresIn` is its lifetime in seconds when the service gave one.
  virtual void onAuthorizationCode(const std::string& code, std::optional<std::int64_t> expiresIn) = 0;
  /// The service asks for a further verification step for this session.
  virtual void onAdditionalVerificationRequired(const std::string& sessionId,
                                                const std::optional<std::string>& detail) = 0;
};

}  // namespace velqo
