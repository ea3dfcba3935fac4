#pragma once

// The reference service's ID-token signing keys (private to the service).

#include <memory>
#include <string>
#include <string_view>

#include "velqo_localservice/local_service.hpp"

namespace velqo::localservice::detail {

/// One EC key pair per curve, generated when built; signs compact JWTs. Thread-safe once built.
class IdTokenKeys {
 public:
  IdTokenKeys();  ///< throws std::runtime_error when OpenSSL cannot make a key
  ~IdTokenKeys();
  IdTokenKeys(const IdTokenKeys&) = delete;
  IdTokenKeys& operator=(const IdTokenKeys&) = delete;

  std::string publicKeyPem(Curve curve) const;
  std::string sign(Curve curve, std::string_view headerJson, std::string_view claimsJson) const;
  static const char* algorithm(Curve curve);

 private:
  struct Keys;
  std::unique_ptr<Keys> keys_;
};

}  // namespace velqo::localservice::detail
