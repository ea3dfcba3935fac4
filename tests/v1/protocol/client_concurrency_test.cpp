// The V1 protocol client driven from several threads at once, its answers, re-sends and
// device-trust follow-ups racing resets and accessor calls (run under ThreadSanitizer in CI).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "client_test_support.hpp"
#include "support/wait_bound.hpp"

namespace velqo::testing {
namespace {

using localservice::Reply;
using localservice::V1Exchange;
using localservice::V1Peer;
using namespace std::chrono_literals;
using State = VelqoV1FlowState;

// Answers by action: a start sets up device trust, its follow-ups lead to completion, every
// fourth other step asks for a re-send, the rest get a method choice.
void serveMixedFlow(V1Peer& peer) {
  auto counter = std::make_shared<std::atomic<int>>(0);
  peer.setFallback([counter](const V1Exchange& exchange) {
    const int n = ++*counter;
    const std::string session = "s-" + std::to_string(n);
    if (exchange.actionType == "start") {
      return V1Peer::answer(
          session, R"({"type":"setup_device","domain":"d","algorithm":"ECDH P-256+Ed25519","version":"1"})");
    }
    if (exchange.actionType == "request_challenge") {
      return V1Peer::answer(session, kDeviceChallengePrompt);
    }
    if (exchange.actionType == "submit_signature")
      return V1Peer::answer(session, V1Peer::completedPrompt("ac"));
    if (n % 4 == 0)
      return V1Peer::answer(session, V1Peer::errorPrompt("device_not_found", "retry_request", "r", true));
    return V1Peer::answer(session, R"({"type":"select_method","phase":"mfa","methods":[]})");
  });
}

struct V1ClientConcurrency : V1ClientFixture {
  std::shared_ptr<InMemoryDeviceTrust> handler = std::make_shared<InMemoryDeviceTrust>();
  std::atomic<int> invalidations{0};

  std::shared_ptr<VelqoProtocolV1Client> makeMixedClient() {
    serveMixedFlow(peer);
    auto settings = testSettings(peer.baseURL());
    settings.retryBaseDelaySeconds = 0.001;
    settings.deviceCryptoHandler = handler;
    settings.deviceCredentialsInvalidator = [this](const std::string&) { ++invalidations; };
    return makeClient(settings);
  }
};

// One step of each kind, chosen by the index.
void step(VelqoProtocolV1Client& client, int i, const VelqoProtocolV1Client::Completion& completion) {
  if (i % 4 == 0)
    return startFlow(client, VelqoV1FlowType::signin, "user-" + std::to_string(i % 3), completion);
  if (i % 4 == 1) return client.submitCode("123456", completion);
  if (i % 4 == 2) return client.poll(completion);
  client.resend(completion);
}

TEST_F(V1ClientConcurrency, StepsFromSeveralThreadsEachEndInExactlyOneFinalState) {
  auto client = makeMixedClient();
  std::atomic<int> loading{0};
  std::atomic<int> finals{0};
  client->setOnStateChange([&](const State& s) { ++(s.kind() == State::Case::loading ? loading : finals); });
  StateRecorder done;
  constexpr int kThreads = 4;
  constexpr int kSteps = 12;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kSteps; ++i) {
        step(*client, t * kSteps + i, done.callback());
        (void)client->state();
        (void)client->session();
        (void)client->currentPhase();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(done.waitFor(kThreads * kSteps, kWaitBound));
  std::this_thread::sleep_for(50ms);
  const auto states = done.results();
  EXPECT_EQ(states.size(), static_cast<std::size_t>(kThreads * kSteps));
  for (const auto& s : states) EXPECT_TRUE(s.kind() == State::Case::prompt || s.isTerminal());
  // Device-trust follow-ups add loading states of their own, never final ones.
  EXPECT_EQ(finals.load(), kThreads * kSteps);
  EXPECT_GE(loading.load(), kThreads * kSteps);
  EXPECT_GT(invalidations.load(), 0);
}

// The device-trust work of one flow runs beside the session's transfers, not in their way.
TEST_F(V1ClientConcurrency, AnAnswerBeingWorkedOutHoldsUpNoOtherTransfer) {
  auto held = std::make_shared<InMemoryDeviceTrust>();
  std::promise<void> entered, release;
  held->store("held@example.com", {"keyset", "hindex", "sk2"});
  held->failNextChallenge([&, released = release.get_future().share()] {
    entered.set_value();  // the challenge waits until released
    EXPECT_EQ(released.wait_for(kWaitBound), std::future_status::ready);
  });
  peer.setFallback([](const V1Exchange& exchange) {
    if (exchange.actionType == "start") return V1Peer::answer("s-held", kDeviceChallengePrompt);
    if (exchange.actionType == "submit_signature")
      return V1Peer::answer("s-held", V1Peer::completedPrompt("ac"));
    return V1Peer::answer("s-other", R"({"type":"select_method","phase":"mfa","methods":[]})");
  });
  auto heldClient = makeClient(held);
  auto otherClient = makeClient();

  StateRecorder heldDone;
  startFlow(*heldClient, VelqoV1FlowType::signin, "held@example.com", heldDone.callback());
  ASSERT_EQ(entered.get_future().wait_for(kWaitBound), std::future_status::ready);
  StateRecorder otherDone;
  otherClient->poll(otherDone.callback());
  const bool otherFinished = otherDone.waitFor(1, kWaitBound);
  release.set_value();
  EXPECT_TRUE(otherFinished) << "a transfer waited for another flow's device-trust answer";
  ASSERT_TRUE(heldDone.waitFor(1, kWaitBound));
  EXPECT_TRUE(heldDone.results().front().isTerminal());
  EXPECT_EQ(heldDone.results().front().kind(), State::Case::completed);
}

TEST_F(V1ClientConcurrency, ResetAndTheFlowControllerFieldsRaceAnswersAndResends) {
  auto client = makeMixedClient();
  client->setOnStateChange([](const State&) {});
  StateRecorder done;
  std::atomic<bool> stop{false};
  std::thread resetter([&] {
    while (!stop) {
      client->reset();
      (void)client->currentCodeVerifier();
      (void)client->currentIdentifier();
      client->setOnStateChange([](const State&) {});
      std::this_thread::sleep_for(100us);
    }
  });
  constexpr int kSteps = 36;
  std::thread sender([&] {
    for (int i = 0; i < kSteps; ++i) step(*client, i, done.callback());
  });
  sender.join();
  ASSERT_TRUE(done.waitFor(kSteps, kWaitBound));
  stop = true;
  resetter.join();
}

TEST_F(V1ClientConcurrency, ReleasingTheClientWhileWorkIsInFlightEndsItQuietly) {
  std::atomic<int> completions{0};
  for (int round = 0; round < 5; ++round) {
    auto client = makeMixedClient();
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&, t, client] {
        for (int i = 0; i < 6; ++i) step(*client, t * 6 + i, [&](const State&) { ++completions; });
      });
    }
    for (auto& thread : threads) thread.join();
    std::weak_ptr<VelqoProtocolV1Client> weak = client;
    client.reset();  // answers, re-sends and follow-ups still in flight find it gone
    const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
    while (!weak.expired() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(weak.expired());
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_LE(completions.load(), 5 * 18);
}

}  // namespace
}  // namespace velqo::testing
