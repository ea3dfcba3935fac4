// local-service: the loopback reference service in the foreground, until interrupted.

#include <signal.h>

#include <velqo/platform/environment.hpp>

#include <velqo_localservice/local_service.hpp>
#include <velqo_localservice/v1_reference_flow.hpp>

#include <fstream>
#include <memory>
#include <optional>

#include "account_service.hpp"
#include "commands.hpp"
#include "diagnostics.hpp"
#include "running_service.hpp"
#include "service_host.hpp"

namespace velqo::cli {

int runLocalService(const LocalServiceCommand& command) {
  // Every thread started from here on inherits the blocked set, so the signals reach only the
  // sigwait below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // The announcement goes last, once the service has stopped and saved its state: until then
  // the admin commands reach it (or are refused), never the state file it will write.
  std::optional<RunningServiceNotice> notice;
  std::optional<localservice::LocalService> service;
  try {
    service.emplace(command.port);
  } catch (const std::exception& e) {
    printMessage(e.what());
    return kExitFailure;
  }
  std::optional<AccountStateLock> startLock(std::in_place);
  try {
    notice.emplace(service->baseUrl());
  } catch (const std::exception& e) {
    printMessage(e.what());
    return kExitFailure;
  }
  localservice::V1ReferenceFlow flow(*service, referenceOptions());
  AccountPeers accountPeers(*service, flow.tokens(), accountStateFile());
  startLock.reset();
  notice->serve(*service, accountPeers);
  const std::string root = service->baseUrl();
  const std::string baseUrl = root + "/v1";

  const auto pemPath = platform::applicationDataDirectory() / "localservice-id-token.pem";
  {
    std::ofstream pem(pemPath, std::ios::binary | std::ios::trunc);
    pem << flow.idTokenPublicKeyPem();
  }

  std::printf("%s\n", baseUrl.c_str());
  std::fflush(stdout);
  printRawError("[local-service] V1 base URL " + baseUrl);
  printRawError("[local-service] token endpoint " + root + "/oauth/token (client id = the configuration id)");
  printRawError("[local-service] ID-token public key " + pemPath.string());
  printRawError("[local-service] account base URL " + root + " (account state saved on stop)");
  printRawError("[local-service] state " + platform::applicationDataDirectory().string() +
                "/localservice-state.json; one-time codes show here (" + std::string(kDevelopmentCodeNote) +
                ")");

  int received = 0;
  sigwait(&signals, &received);
  printRawError("[local-service] stopping");
  notice->stop();
  return kExitOk;
}

}  // namespace velqo::cli
