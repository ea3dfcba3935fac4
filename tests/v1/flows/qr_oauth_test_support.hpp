#pragma once

// QR approval and OAuth test helpers: an earlier-answers probe, the QR approval fixture (and the
// completion catcher).

#include <chrono>
#include <memory>
#include <string>

#include "support/scoped_platform_settings.hpp"
#include "v1/flows/line_capture.hpp"
#include "v1/protocol/client_test_support.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo/v1/flows/device_crypto_service.hpp"
#include "velqo/v1/flows/qr_approval_service.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/qr_peer.hpp"
#include "velqo_localservice/v1_peer.hpp"

namespace velqo::testing {

/// Sends a request the service answers after `delay` and waits for it: every answer that
/// arrived before has then been completed on `session`'s (serial) completion thread.
inline bool probeAfterEarlierAnswers(localservice::LocalService& service, platform::HttpSession& session,
                                     std::chrono::milliseconds delay = std::chrono::milliseconds(800)) {
  service.route("GET", "/probe", [delay](const localservice::RecordedRequest&) {
    localservice::Reply reply = localservice::Reply::json(200, "{}");
    reply.delay = delay;
    return reply;
  });
  Catcher<bool> probe;
  auto done = probe.callback();
  session.dataTask(platform::HttpRequest{service.baseUrl() + "/probe", "GET", {}, {}, 5.0},
                   [done](auto, auto, auto) { done(true); });
  return probe.wait().has_value();
}

/// A loopback service answering V1 QR approvals and binds (verifying the proofs), and a
/// device-trust service on a fresh in-memory item store.
class QrApprovalFixture : public V1ClientFixture {
 protected:
  void SetUp() override {
    settings.setItemStore(platform::InMemoryItemStore::create());
    settings.setHardwareKeyMode(platform::HardwareKeyMode::available);
    peer.setFallback(qr.approvalAnswer());
  }

  std::shared_ptr<VelqoV1QrApprovalService> approvals(const std::string& baseURL = {}) {
    auto s = testSettings(baseURL.empty() ? peer.baseURL() : baseURL);
    s.relyingParty = "rp.example";
    return VelqoV1QrApprovalService::create(VelqoV1ClientConfig::withConfigId("cfg-1", s), deviceTrust,
                                            session);
  }

  // Sets alice's device up and lets the service learn its key, as request_challenge does.
  std::string setUpDevice() {
    const VelqoV1Action action = deviceTrust->handleSetupDevice("", "", "1", "alice");
    const auto* sent = action.as<VelqoV1Action::RequestChallenge>();
    EXPECT_TRUE(keys->registerKeyset(sent->hindex, sent->keyset, sent->sk2));
    return sent->hindex;
  }

  ScopedPlatformSettings settings;
  LineCapture capture;
  std::shared_ptr<localservice::DeviceKeyRegistry> keys = std::make_shared<localservice::DeviceKeyRegistry>();
  localservice::QrPeer qr{service, keys};
  std::shared_ptr<VelqoV1DeviceCryptoService> deviceTrust =
      VelqoV1DeviceCryptoService::create("p1", VelqoV1DeviceCryptoStore::create("svc.qr"));
};

}  // namespace velqo::testing
