#pragma once

// Where the V1 commands send their requests: the --base-url the user gave, or the loopback
// reference service started in this process on an ephemeral port (the embedded default).

#include <memory>
#include <optional>
#include <string>

#include <velqo_localservice/v1_reference_flow.hpp>

#include "cli_options.hpp"

namespace velqo::cli {

class ServiceHost {
 public:
  /// Uses `baseUrl` when given; otherwise starts the embedded service, whose state (users,
  /// registered devices) is kept in the application data directory and which prints the
  /// one-time codes it sends on standard error. Throws std::runtime_error when the embedded
  /// service cannot start.
  static std::unique_ptr<ServiceHost> open(const std::optional<std::string>& baseUrl);
  virtual ~ServiceHost() = default;

  /// The base URL the V1 commands use.
  virtual std::string baseUrl() const = 0;

 protected:
  ServiceHost() = default;
};

/// The reference service as velqo-cli runs it: state in the application data directory
/// ("localservice-state.json"), the development code accepted, sent codes printed on standard
/// error as "[local-service] sent code <code> to <masked destination>", and the callback URL of
/// a redirect sign-in as "[local-service] the sign-in page sends the browser to <URL>".
localservice::V1ReferenceOptions referenceOptions();
/// How the service announces the development code.
extern const char* const kDevelopmentCodeNote;

}  // namespace velqo::cli
