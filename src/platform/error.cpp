#include "velqo/platform/error.hpp"

#include <string>
#include <utility>

namespace velqo::platform {
namespace {

// what() carries the description; an error without one still says where it came from.
std::string whatText(const std::string& domain, long code, const std::string& description) {
  if (!description.empty()) return description;
  return domain + " error " + std::to_string(code);
}

}  // namespace

std::string statusMessage(OSStatus status) {
  switch (status) {
    case status::success:
      return "No error.";
    case status::unimplemented:
      return "Function or operation not implemented.";
    case status::badParameter:
      return "One or more parameters passed to a function were not valid.";
    case status::notAvailable:
      return "No trust results are available.";
    case status::duplicateItem:
      return "The specified item already exists in the keychain.";
    case status::itemNotFound:
      return "The specified item could not be found in the keychain.";
    default:
      return {};
  }
}

PlatformError::PlatformError(std::string domain, long code, std::string localizedDescription)
    : std::runtime_error(whatText(domain, code, localizedDescription)),
      domain_(std::move(domain)),
      code_(code),
      description_(std::move(localizedDescription)) {}

PlatformError PlatformError::fromStatus(OSStatus status) {
  std::string message = statusMessage(status);
  if (message.empty()) {
    // A status without a message text still gets a readable description.
    message = "The operation could not be completed. (OSStatus error " + std::to_string(status) + ".)";
  }
  return PlatformError(domain::osStatus, status, std::move(message));
}

}  // namespace velqo::platform
