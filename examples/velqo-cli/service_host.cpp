#include "service_host.hpp"

#include <velqo/platform/environment.hpp>

#include <velqo_localservice/local_service.hpp>
#include <velqo_localservice/v1_reference_flow.hpp>

#include "diagnostics.hpp"

namespace velqo::cli {
namespace {

class RemoteService final : public ServiceHost {
 public:
  explicit RemoteService(std::string baseUrl) : baseUrl_(std::move(baseUrl)) {}
  std::string baseUrl() const override { return baseUrl_; }

 private:
  std::string baseUrl_;
};

class EmbeddedService final : public ServiceHost {
 public:
  EmbeddedService() : flow_(service_, referenceOptions()) {
    printRawError("[local-service] embedded service on " + service_.baseUrl() +
                  "; one-time codes it sends show here (" + std::string(kDevelopmentCodeNote) + ")");
  }
  std::string baseUrl() const override { return flow_.baseURL(); }

 private:
  localservice::LocalService service_;
  localservice::V1ReferenceFlow flow_;
};

}  // namespace

const char* const kDevelopmentCodeNote = "the development code 000000 is accepted too";

localservice::V1ReferenceOptions referenceOptions() {
  localservice::V1ReferenceOptions options;
  options.stateFile = platform::applicationDataDirectory() / "localservice-state.json";
  options.developmentCode = "000000";
  options.onCodeSent = [](const localservice::SentCode& sent) {
    printRawError("[local-service] sent code " + sent.code + " to " + sent.destination);
  };
  options.onRedirect = [](const std::string&, const std::string& callbackUrl) {
    printRawError("[local-service] the sign-in page sends the browser to " + callbackUrl);
  };
  return options;
}

std::unique_ptr<ServiceHost> ServiceHost::open(const std::optional<std::string>& baseUrl) {
  if (baseUrl) return std::make_unique<RemoteService>(*baseUrl);
  return std::make_unique<EmbeddedService>();
}

}  // namespace velqo::cli
