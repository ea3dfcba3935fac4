#pragma once

// The OAuth side of velqo-cli: reading callback URLs and redeeming authorization codes at a
// token endpoint with verification of the returned ID token.

#include <velqo/core/oauth_config.hpp>
#include <velqo/v1/flows/oauth_exchange_service.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cli_options.hpp"

namespace velqo::cli {

struct CallbackParts {
  std::string code;
  std::string state;
};

/// The "code" and "state" of a callback URL, or nothing when it has not both.
std::optional<CallbackParts> parseCallback(const std::string& url);

/// One code redemption with the token options of the command line.
class TokenExchange {
 public:
  /// Reads the PEM file; prints a message and gives nothing when it cannot be read.
  static std::optional<TokenExchange> prepare(const TokenOptions& options);

  /// Redeems the code, prints {"token": {"idToken", "tokenType", "expiresIn"}} or
  /// {"error": {"case", "message"}} as one JSON line, then calls `done` on the main queue
  /// with whether the exchange succeeded. Returns at once.
  void run(const std::string& code, const std::optional<std::string>& verifier,
           std::function<void(bool)> done);

 private:
  explicit TokenExchange(VelqoOAuthConfig config) : config_(std::move(config)) {}

  VelqoOAuthConfig config_;
  std::shared_ptr<VelqoV1OAuthExchangeService> service_;  ///< kept alive while a request runs
};

}  // namespace velqo::cli
