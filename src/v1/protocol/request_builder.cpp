#include "v1/protocol/request_builder.hpp"

#include <utility>

namespace velqo::v1::detail {

platform::HttpRequest makeV1Request(const VelqoV1ClientConfig& config, std::string url, std::string body,
                                    std::optional<std::string> uniqueHeader) {
  platform::HttpRequest request;
  request.url = std::move(url);
  request.method = "POST";
  request.body = std::move(body);
  request.timeoutSeconds = config.timeoutSeconds();
  auto& headers = request.headers;
  headers.emplace_back("Content-Type", "application/json");
  headers.emplace_back("Accept", "application/json");
  headers.emplace_back("X-Config-Id", config.configId());
  if (uniqueHeader) headers.emplace_back("x-unique", std::move(*uniqueHeader));
  headers.emplace_back("X-Velqo-SDK", config.sdkName());
  headers.emplace_back("x-Velqo-iosSdk-Version", config.sdkVersion());
  headers.emplace_back("X-Velqo-Platform", config.platform());
  headers.emplace_back("X-Velqo-Protocol-Version", std::to_string(config.protocolVersion()));
  if (config.relyingParty()) headers.emplace_back("X-Relying-Party", *config.relyingParty());
  return request;
}

}  // namespace velqo::v1::detail
