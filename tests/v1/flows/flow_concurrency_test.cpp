#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "flow_test_support.hpp"
#include "support/wait_bound.hpp"

namespace velqo::testing {
namespace {

// Answers rotate through every prompt the controller reacts to (approvals that start the
// poll timer, codes with a resend time, selections and SMS setups it answers by itself,
// completions, errors), each after a short random delay.
Peer::Answer rotatingAnswers() {
  auto counter = std::make_shared<std::atomic<int>>(0);
  return [counter](const localservice::V1Exchange&) {
    const int i = (*counter)++;
    static const char* const prompts[] = {
        R"({"type":"await_approval","expiresAt":"2030-01-01T00:00:00Z","pollInterval":1})",
        R"({"type":"enter_code","destination":"d","resendAt":"2020-01-01T00:00:00Z"})",
        R"({"type":"select_method","methods":[{"id":"email_otp","label":"E"},{"id":"sms","label":"S"}]})",
        R"({"type":"setup_sms"})",
        R"({"type":"completed","authCode":"code","expiresAt":"2030-01-01T00:00:00Z"})",
        R"({"type":"error","code":"invalid_code","action":"retry_input","message":"Wrong","retryable":true})",
        R"({"type":"setup_device","domain":"d","algorithm":"a","version":"1"})",
    };
    localservice::Reply reply = Peer::answer("s" + std::to_string(i % 3), prompts[i % 7]);
    reply.delay = std::chrono::milliseconds(i % 5);
    return reply;
  };
}

TEST_F(FlowTest, StepsResetsAndHandlerChangesFromManyThreadsWhileAnswersArrive) {
  peer.setFallback(rotatingAnswers());
  auto flow = makeController(true, VelqoV1PrimaryMethodSelectionPolicy::automaticFromIdentifier);

  const std::vector<std::function<void(int, std::mt19937&)>> steps = {
      [&](int t, auto&) {
        flow->start(VelqoV1FlowType::signin, t % 2 ? "a@example.com" : "+1 555 010 2030");
      },
      [&](int, auto&) { flow->selectMethod("email_otp"); },
      [&](int, auto&) { flow->submitCode("123456"); },
      [&](int, auto&) { (void)flow->resend(); },
      [&](int, auto&) { flow->poll(); },
      [&](int, auto&) { flow->cancel(); },
      [&](int, auto&) { flow->reset(); },
      [&](int, auto&) { (void)flow->canResend(platform::now()); },
      [&](int, std::mt19937& rng) {
        flow->setOnUpdate(rng() % 2 ? recorder.handler() : VelqoV1FlowController::UpdateHandler{});
      },
      [&](int, auto&) { flow->submitPhone("+1 555 010 2030"); },
  };
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1u);
      for (int k = 0; k < 40; ++k) {
        steps[rng() % steps.size()](t, rng);
        if (k % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
      }
      ++finished;
    });
  }
  // The main queue delivers updates (and so reads the handler) while the threads work.
  EXPECT_TRUE(platform::mainQueue().runUntil([&] { return finished.load() == 4; }, kWaitBound));
  for (auto& thread : threads) thread.join();
  pump(1200ms);  // answers and poll ticks keep arriving

  flow->setOnUpdate(recorder.handler());
  flow->reset();
  EXPECT_TRUE(platform::mainQueue().runUntil(
      [&] {
        const auto updates = recorder.updates();
        return !updates.empty() && updates.back() == VelqoV1FlowUpdate::idle();
      },
      kWaitBound));

  // Released with answers and ticks possibly under way: nothing follows.
  std::weak_ptr<VelqoV1FlowController> weak = flow;
  flow.reset();
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return weak.expired(); }, kWaitBound));
  pump(300ms);
  const std::size_t requests = peer.requestCount();
  const std::size_t updates = recorder.count();
  pump(1500ms);
  EXPECT_EQ(peer.requestCount(), requests);
  EXPECT_EQ(recorder.count(), updates);
}

TEST_F(FlowTest, EveryAnswerIsDeliveredOnceAndInOrderWhileAnotherThreadResets) {
  // Every answer is an enter-code prompt whose destination counts up; one thread submits
  // codes one after another while another keeps resetting.
  auto counter = std::make_shared<std::atomic<int>>(0);
  peer.setFallback([counter](const localservice::V1Exchange&) {
    return Peer::answer("s1",
                        R"({"type":"enter_code","destination":")" + std::to_string((*counter)++) + "\"}");
  });
  auto flow = makeController();
  const auto prompts = [&] {
    std::vector<int> destinations;
    for (const VelqoV1FlowUpdate& update : recorder.updates()) {
      if (const auto* prompt = update.as<VelqoV1FlowUpdate::Prompt>()) {
        destinations.push_back(std::stoi(prompt->prompt.as<VelqoV1UserPrompt::EnterCode>()->destination));
      }
    }
    return destinations;
  };
  std::atomic<bool> stop{false};
  std::thread resetter([&] {
    while (!stop.load()) {
      flow->reset();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  flow->start(VelqoV1FlowType::signup, "zed");
  const auto promptCount = [&] { return recorder.countOf(VelqoV1FlowUpdate::Case::prompt); };
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return promptCount() == 1; }, kWaitBound));
  for (std::size_t i = 1; i <= 30; ++i) {
    flow->submitCode("1");
    ASSERT_TRUE(platform::mainQueue().runUntil([&] { return promptCount() == i + 1; }, kWaitBound));
  }
  stop = true;
  resetter.join();
  pump(100ms);
  std::vector<int> expected(31);
  for (int i = 0; i < 31; ++i) expected[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(prompts(), expected);
}

}  // namespace
}  // namespace velqo::testing
