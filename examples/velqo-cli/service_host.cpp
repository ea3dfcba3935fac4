#include "service_host.hpp"

#include <velqo_localservice/local_service.hpp>

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
  std::string baseUrl() const override { return service_.baseUrl(); }

 private:
  localservice::LocalService service_;
};

}  // namespace

std::unique_ptr<ServiceHost> ServiceHost::open(const std::optional<std::string>& baseUrl) {
  if (baseUrl) return std::make_unique<RemoteService>(*baseUrl);
  return std::make_unique<EmbeddedService>();
}

}  // namespace velqo::cli
