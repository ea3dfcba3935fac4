#pragma once

#include <string>

#include "velqo/account/error_codes.hpp"
#include "velqo/export.hpp"

namespace velqo {

/// The outcome of one web-login step. Passed with the call and kept by the pending request
/// until it completes; called once, on the main queue (or on the caller's thread when the
/// step fails before any request is sent).
class VELQO_API WebLoginCallback {
 public:
  virtual ~WebLoginCallback() = default;

  /// The step failed; `errorMessage` is the sentence for the user.
  virtual void showError(WebLoginErrorCode webLoginErrorCode, const std::string& errorMessage) = 0;
  virtual void onSuccess() = 0;
};

}  // namespace velqo
