#include "velqo/v1/protocol/client_config.hpp"

#include <utility>

#include "platform/encoding.hpp"

namespace velqo {

VelqoV1ClientConfig::VelqoV1ClientConfig(std::string identifier, Settings settings)
    : configId_(identifier), projectId_(std::move(identifier)), s_(std::move(settings)) {}

VelqoV1ClientConfig VelqoV1ClientConfig::withConfigId(std::string configId, Settings settings) {
  return VelqoV1ClientConfig(std::move(configId), std::move(settings));
}

VelqoV1ClientConfig VelqoV1ClientConfig::withProjectId(std::string projectId,
                                                       std::optional<std::string> apiKey, Settings settings) {
  std::string key = platform::trimWhitespace(apiKey.value_or(std::string()));
  std::string chosen = key.empty() ? platform::trimWhitespace(projectId) : std::move(key);
  return VelqoV1ClientConfig(std::move(chosen), std::move(settings));
}

const std::set<std::string>& VelqoV1ClientConfig::defaultDeviceCredentialClearCodes() {
  static const std::set<std::string> codes = {"device_not_found",  "decryption_failed",
                                              "invalid_challenge", "invalid_signature",
                                              "info_mismatch",     "info_string_mismatch"};
  return codes;
}

}  // namespace velqo
