#pragma once

#include <string>

#include "velqo/export.hpp"

namespace velqo {

/// The host application's OAuth settings for redeeming authorization codes.
/// A plain value; copy it freely.
struct VELQO_API VelqoOAuthConfig {
  /// URL (text) of the token endpoint that receives the authorization-code form POST.
  std::string tokenEndpoint;
  /// Sent as "client_id"; also the audience every ID token must carry.
  std::string clientId;
  /// PEM ("-----BEGIN PUBLIC KEY-----") EC public key that signs the ID tokens.
  std::string publicKeyPem;

  bool operator==(const VelqoOAuthConfig&) const = default;
};

}  // namespace velqo
