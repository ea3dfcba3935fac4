#pragma once

#include <optional>
#include <string>

#include "velqo/account/error_codes.hpp"
#include "velqo/export.hpp"

namespace velqo {

/// What the host application learns about a V4 sign-in. The engine keeps the callback weakly
/// (pass it as a shared_ptr and keep it alive for the attempt). Every operation is called on
/// the main queue, one at a time, errors found before any request included. An exception
/// thrown by an operation is caught and dropped.
class VELQO_API AuthV4Callback {
 public:
  virtual ~AuthV4Callback() = default;

  /// The service wants a one-time code: collect it and pass it to submitOtp.
  virtual void onOtpRequired() = 0;
  /// The attempt succeeded. A registration (isLoginFlow false) carries no tokens; a login
  /// carries the access token (the refresh token is absent in this version).
  virtual void onAuthSuccess(const std::optional<std::string>& accessToken,
                             const std::optional<std::string>& refreshToken, bool isLoginFlow) = 0;
  /// The attempt failed; `errorMessage` is the sentence for the user.
  virtual void onError(AuthV4ErrorCode errorCode, const std::string& errorMessage) = 0;
};

}  // namespace velqo
