#pragma once

#include <string>

#include "velqo/api/push_login_request_details.hpp"
#include "velqo/export.hpp"
#include "velqo/platform/error.hpp"

namespace velqo {

/// Receives push login requests. Kept weakly by the SDK facade (pass it as a shared_ptr and
/// keep it alive). Called on the main queue, except for a fetch that fails before any request
/// is sent, which is reported on the caller's thread. An exception thrown by an operation is
/// caught and dropped.
class VELQO_API VelqoPushAuthDelegate {
 public:
  virtual ~VelqoPushAuthDelegate() = default;

  /// The details of the login request `requestId` were fetched.
  virtual void didReceiveLoginRequest(const std::string& requestId,
                                      const PushLoginRequestDetails& details) = 0;
  /// Fetching the details of a login request failed with `error`.
  virtual void failedToFetchLoginRequestDetails(const platform::PlatformError& error) = 0;
};

}  // namespace velqo
