#include "core/transport/end_points.hpp"

namespace velqo {
namespace {

// The configured base URL with every trailing "/" removed, so that "https://host/" and
// "https://host" give the same requests.
std::string withoutTrailingSlashes(std::string_view baseURL) {
  while (!baseURL.empty() && baseURL.back() == '/') baseURL.remove_suffix(1);
  return std::string(baseURL);
}

}  // namespace

// Deployment rule for the five bases, kept in this one place: every service of the account
// interface is reached under the configured base URL itself. A deployment that serves some of
// them from another host or path prefix changes the matching line here.
EndPoints::EndPoints(std::string_view baseURL)
    : authBase(withoutTrailingSlashes(baseURL)),
      sessionBase(withoutTrailingSlashes(baseURL)),
      loginBase(withoutTrailingSlashes(baseURL)),
      regBase(withoutTrailingSlashes(baseURL)),
      coreLoginBase(withoutTrailingSlashes(baseURL)) {}

}  // namespace velqo
