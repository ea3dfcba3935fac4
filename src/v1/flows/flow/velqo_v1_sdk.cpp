#include "velqo/v1/flows/velqo_v1_sdk.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "platform/encoding.hpp"
#include "platform/url.hpp"
#include "v1/flows/flow/library_version.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/v1/flows/device_crypto_store.hpp"
#include "velqo/v1/protocol/client_config.hpp"
#include "velqo/v1/protocol/device_info_builder.hpp"

namespace velqo {

std::shared_ptr<VelqoV1SDK> VelqoV1SDK::create(
    std::string configId, const std::string& baseURL, std::optional<std::string> sdkVersion,
    std::optional<std::string> relyingParty, bool autoPollApprovals,
    VelqoV1PrimaryMethodSelectionPolicy primaryMethodSelectionPolicy) {
  return std::make_shared<VelqoV1SDK>(Passkey{}, std::move(configId), baseURL, std::move(sdkVersion),
                                      std::move(relyingParty), autoPollApprovals,
                                      primaryMethodSelectionPolicy);
}

std::shared_ptr<VelqoV1SDK> VelqoV1SDK::createWithProjectId(
    const std::string& projectId, const std::optional<std::string>& apiKey, const std::string& baseURL,
    std::optional<std::string> sdkVersion, std::optional<std::string> relyingParty, bool autoPollApprovals,
    VelqoV1PrimaryMethodSelectionPolicy primaryMethodSelectionPolicy) {
  std::string key = platform::trimWhitespace(apiKey.value_or(std::string()));
  std::string identifier = key.empty() ? platform::trimWhitespace(projectId) : std::move(key);
  return std::make_shared<VelqoV1SDK>(Passkey{}, std::move(identifier), baseURL, std::move(sdkVersion),
                                      std::move(relyingParty), autoPollApprovals,
                                      primaryMethodSelectionPolicy);
}

VelqoV1SDK::VelqoV1SDK(Passkey, std::string identifier, const std::string& baseURL,
                       std::optional<std::string> sdkVersion, std::optional<std::string> relyingParty,
                       bool autoPollApprovals,
                       VelqoV1PrimaryMethodSelectionPolicy primaryMethodSelectionPolicy)
    : configId_(identifier),
      projectId_(identifier),
      baseURL_(normalizedV1BaseURL(baseURL)),
      sdkVersion_(sdkVersion ? std::move(*sdkVersion) : defaultSdkVersion()) {
  // The store's own default service name is the main bundle's identifier, else
  // "com.velqo.sdk"; its hardware-key wrapper uses the same name.
  auto store = VelqoV1DeviceCryptoStore::create(std::nullopt,
                                                VelqoV1DeviceCryptoStore::SecureEnclaveUse::whenAvailable);
  crypto_ = VelqoV1DeviceCryptoService::create(identifier, std::move(store));

  VelqoV1ClientConfig::Settings settings;
  settings.baseURL = baseURL_;
  settings.sdkName = "@velqo/ios";
  settings.sdkVersion = sdkVersion_;
  settings.platform = "ios";
  settings.protocolVersion = 2;
  settings.relyingParty = std::move(relyingParty);
  settings.timeoutSeconds = 15.0;
  settings.retryMaxAttempts = 2;
  settings.retryBaseDelaySeconds = 0.5;
  settings.autoRetryWait = false;
  // Both callbacks reach the service through weak references of their own.
  settings.deviceCredentialsProvider = VelqoV1DeviceCryptoService::makeDeviceCredentialsProvider(crypto_);
  settings.deviceCredentialsInvalidator =
      VelqoV1DeviceCryptoService::makeDeviceCredentialsInvalidator(crypto_);
  settings.deviceCredentialClearCodes = VelqoV1ClientConfig::defaultDeviceCredentialClearCodes();
  settings.deviceCryptoHandler = crypto_;

  client_ = VelqoProtocolV1Client::create(
      VelqoV1ClientConfig::withConfigId(std::move(identifier), std::move(settings)),
      platform::HttpSession::shared());
  flow_ = VelqoV1FlowController::create(client_, autoPollApprovals, primaryMethodSelectionPolicy,
                                        platform::mainQueueHandle());
}

void VelqoV1SDK::start(VelqoV1FlowType flowType, const std::string& identifier,
                       std::optional<std::string> startToken, std::optional<std::string> inviteCode,
                       std::optional<std::string> codeChallenge) {
  std::optional<VelqoV1DeviceInfo> device;
  try {
    device = VelqoV1DeviceInfoBuilder::build(identifier, sdkVersion_, VelqoV1JSONObject{});
  } catch (...) {
    device.reset();  // no device information, and no report of why
  }
  flow_->start(flowType, identifier, std::move(startToken), std::move(inviteCode), std::move(codeChallenge),
               std::move(device));
}

void VelqoV1SDK::reset() {
  flow_->reset();
}

std::string VelqoV1SDK::normalizedV1BaseURL(const std::string& baseURL) {
  const std::optional<platform::Url> url = platform::Url::parse(baseURL);
  if (!url) return baseURL;

  // The normalised text reads "scheme://authority/path[?query][#fragment]" and the
  // authority holds no raw "/", so the path is spliced out and back in as text (setting it
  // through libcurl would rewrite existing escapes).
  const std::string& text = url->text();
  const std::size_t authorityStart = text.find("://");
  if (authorityStart == std::string::npos) return baseURL;
  std::size_t pathStart = text.find('/', authorityStart + 3);
  const std::size_t tailStart = std::min(text.find_first_of("?#", authorityStart + 3), text.size());
  if (pathStart == std::string::npos || pathStart > tailStart) pathStart = tailStart;
  const std::string path = text.substr(pathStart, tailStart - pathStart);

  std::vector<std::string> segments;
  std::size_t begin = 0;
  while (begin <= path.size()) {
    const std::size_t end = std::min(path.find('/', begin), path.size());
    if (end > begin) segments.push_back(path.substr(begin, end - begin));
    begin = end + 1;
  }
  while (!segments.empty()) {
    const std::string last = platform::toLowerAscii(segments.back());
    if (last != "v1" && last != "vq_auth") break;
    segments.pop_back();
  }
  segments.emplace_back("v1");

  std::string newPath;
  for (const std::string& segment : segments) newPath += "/" + segment;
  const std::optional<platform::Url> rebuilt =
      platform::Url::parse(text.substr(0, pathStart) + newPath + text.substr(tailStart));
  return rebuilt ? rebuilt->text() : baseURL;
}

std::string VelqoV1SDK::defaultSdkVersion() {
  const std::string version = v1::detail::kLibraryVersion;
  return version.empty() ? std::string("unknown") : version;
}

}  // namespace velqo
