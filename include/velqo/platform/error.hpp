#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "velqo/export.hpp"

namespace velqo::platform {

/// A platform status code, as returned by the item store and the key store.
using OSStatus = std::int32_t;

/// The statuses the item store and the key store report.
namespace status {
inline constexpr OSStatus success = 0;
inline constexpr OSStatus unimplemented = -4;      ///< the operation is not implemented here
inline constexpr OSStatus badParameter = -50;      ///< a parameter was missing or invalid
inline constexpr OSStatus notAvailable = -25291;   ///< no trust results / hardware not available
inline constexpr OSStatus duplicateItem = -25299;  ///< the item already exists
inline constexpr OSStatus itemNotFound = -25300;   ///< the item could not be found
}  // namespace status

/// The platform's message text for a status ("The specified item could not be found in the
/// keychain.", ...), or an empty text for a status it has no message for.
VELQO_API std::string statusMessage(OSStatus status);

/// Error domains of platform error objects.
namespace domain {
/// Errors carrying an OSStatus as code (item store, key store).
inline constexpr const char* osStatus = "VelqoOSStatusErrorDomain";
/// Transport errors of the HTTP session.
inline constexpr const char* url = "VelqoURLErrorDomain";
/// Errors of the web-authentication session.
inline constexpr const char* webAuthentication = "VelqoWebAuthenticationSessionErrorDomain";
}  // namespace domain

/// Codes of the URL error domain.
namespace urlError {
inline constexpr long unknown = -1;
inline constexpr long cancelled = -999;
inline constexpr long badURL = -1000;
inline constexpr long timedOut = -1001;
inline constexpr long unsupportedURL = -1002;
inline constexpr long cannotFindHost = -1003;
inline constexpr long cannotConnectToHost = -1004;
inline constexpr long networkConnectionLost = -1005;
inline constexpr long badServerResponse = -1011;
/// Plain "http" to a host that is not a loopback address, without the session's consent.
inline constexpr long cleartextNotPermitted = -1022;
/// The answer is larger than the session accepts.
inline constexpr long dataLengthExceedsMaximum = -1103;
inline constexpr long secureConnectionFailed = -1200;
inline constexpr long serverCertificateUntrusted = -1202;
}  // namespace urlError

/// A platform error object: a domain, a code and a localized description. This is what
/// "the platform's error" means throughout the library; anything thrown as a platform
/// failure derives from it.
class VELQO_API PlatformError : public std::runtime_error {
 public:
  PlatformError(std::string domain, long code, std::string localizedDescription);

  const std::string& domain() const noexcept { return domain_; }
  long code() const noexcept { return code_; }
  const std::string& localizedDescription() const noexcept { return description_; }

  /// An error of the OSStatus domain whose description is the status message.
  static PlatformError fromStatus(OSStatus status);

  friend bool operator==(const PlatformError& a, const PlatformError& b) {
    return a.domain_ == b.domain_ && a.code_ == b.code_ && a.description_ == b.description_;
  }

 private:
  std::string domain_;
  long code_;
  std::string description_;
};

}  // namespace velqo::platform
