#pragma once

// The reference service's ID-token signing keys (private to the service).

#include <openssl/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "velqo_localservice/local_service.hpp"

namespace velqo::localservice::detail {

/// One EC key pair per curve, generated on the first use of that curve (most runs of the
/// service never issue an ID token); signs compact JWTs. Thread-safe.
class IdTokenKeys {
 public:
  IdTokenKeys();
  ~IdTokenKeys();
  IdTokenKeys(const IdTokenKeys&) = delete;
  IdTokenKeys& operator=(const IdTokenKeys&) = delete;

  /// Both throw std::runtime_error when OpenSSL cannot make the curve's key (tried again on
  /// the next call).
  std::string publicKeyPem(Curve curve) const;
  std::string sign(Curve curve, std::string_view headerJson, std::string_view claimsJson) const;
  static const char* algorithm(Curve curve);

 private:
  EVP_PKEY* pair(Curve curve) const;

  struct Keys;
  std::unique_ptr<Keys> keys_;
};

}  // namespace velqo::localservice::detail
