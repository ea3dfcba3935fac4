// v1 credentials and v1 forget: the device credentials stored for one user and configuration.

#include <velqo/v1/flows/device_crypto_service.hpp>
#include <velqo/v1/flows/device_crypto_store.hpp>

#include "commands.hpp"
#include "diagnostics.hpp"
#include "json_output.hpp"

namespace velqo::cli {
namespace {

// The same store and service the V1 entry object builds for this bundle and configuration.
std::shared_ptr<VelqoV1DeviceCryptoService> deviceTrustService(const std::string& configId) {
  return VelqoV1DeviceCryptoService::create(configId, VelqoV1DeviceCryptoStore::create());
}

}  // namespace

int runCredentials(const CredentialsCommand& command) {
  registerSecret(command.identifier);
  const auto service = deviceTrustService(command.configId);
  const auto credentials = service->deviceCredentials(command.identifier);
  if (!credentials) {
    printJsonLine(Json(nullptr));
    return kExitOk;
  }
  Json out = Json::object();
  out["keyset"] = credentials->keyset;
  out["hindex"] = credentials->hindex;
  out["sk2"] = credentials->sk2;
  printJsonLine(out);
  return kExitOk;
}

int runForget(const ForgetCommand& command) {
  registerSecret(command.identifier);
  const auto service = deviceTrustService(command.configId);
  bool hadRecord = true;
  try {
    hadRecord = service->store()->load(command.identifier, command.configId).has_value();
  } catch (const std::exception&) {
    hadRecord = true;  // an unreadable record is still a record, and goes too
  }
  service->clearRecord(command.identifier);
  printJsonLine(Json{{"cleared", hadRecord}});
  return kExitOk;
}

}  // namespace velqo::cli
