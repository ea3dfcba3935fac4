#pragma once

// A foreground `local-service` keeps its account state in memory and writes it to the data
// directory when it stops. `local-service login-request` and `web-session` therefore act on the
// running service, which announces itself in the data directory, and edit the state file only
// when none runs. The account state lock (account_state_lock.hpp) orders a service's start
// (announcement, then reading the state) against those edits, so no change is lost between the
// two.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <velqo_localservice/local_service.hpp>

#include "account_service.hpp"
#include "account_state_lock.hpp"
#include "json_output.hpp"

namespace velqo::cli {

/// The running service's announcement ("localservice-running.json": its base URL and a
/// random key for its admin routes, mode 0600), written at construction and removed at
/// destruction. The admin routes, registered by `serve`, answer with the peers until `stop`.
class RunningServiceNotice {
 public:
  /// Throws std::runtime_error when the announcement cannot be written.
  explicit RunningServiceNotice(const std::string& baseUrl);
  ~RunningServiceNotice();
  RunningServiceNotice(const RunningServiceNotice&) = delete;
  RunningServiceNotice& operator=(const RunningServiceNotice&) = delete;

  /// Registers POST /velqo-cli/login-request {"userid"} and /velqo-cli/web-session {"pin"},
  /// which answer what the admin commands print. `peers` must stay alive until `stop`.
  void serve(localservice::LocalService& service, AccountPeers& peers);
  /// Removes the routes; a request already in its handler finishes first, later ones get 503.
  void stop();

 private:
  struct Admin;
  std::shared_ptr<Admin> admin_;
  localservice::LocalService* service_ = nullptr;
  std::string key_;
};

/// What an admin command got from the running service.
struct RunningServiceAnswer {
  enum class Kind { noService, answered, failed } kind = Kind::noService;
  Json body;          ///< answered: the service's JSON object
  std::string error;  ///< failed: why
};

/// Sends `body` to the admin route `path` of the service announced in the data directory.
/// `noService` when there is no announcement or nothing listens at its address any more
/// (a service that was killed); `failed` when the service refused or answered nonsense.
RunningServiceAnswer askRunningService(const std::string& path, const Json& body);

}  // namespace velqo::cli
