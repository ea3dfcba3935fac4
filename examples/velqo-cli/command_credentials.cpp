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

// Whether a record is stored; an unreadable record is still a record.
bool storedRecordIsThere(const VelqoV1DeviceCryptoStore& store, const ForgetCommand& command) {
  try {
    return store.load(command.identifier, command.configId).has_value();
  } catch (const std::exception&) {
    return true;
  }
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
  const auto store = service->store();
  const bool hadRecord = storedRecordIsThere(*store, command);
  service->clearRecord(command.identifier);
  // The store reports no failure of its own: look again, so a record that could not be
  // removed (a read-only data directory) is not reported as cleared.
  if (hadRecord && storedRecordIsThere(*store, command)) {
    printJsonLine(Json{{"cleared", false}});
    printMessage("the stored device credentials could not be removed");
    return kExitFailure;
  }
  printJsonLine(Json{{"cleared", hadRecord}});
  return kExitOk;
}

}  // namespace velqo::cli
