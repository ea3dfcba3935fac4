// The command-line web-authentication session, fed through a pipe.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "support/wait_bound.hpp"
#include "velqo/platform/web_auth_session.hpp"

namespace velqo::platform {
namespace {

using namespace std::chrono_literals;

struct Completed {
  std::optional<std::string> url;
  std::optional<PlatformError> error;
  std::thread::id thread;
};

class CommandLineSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::pipe(fds), 0); }
  void TearDown() override {
    session.reset();
    closeWriteEnd();
    ::close(fds[0]);
  }
  void type(const std::string& text) {
    ASSERT_EQ(::write(fds[1], text.data(), text.size()), ssize_t(text.size()));
  }
  void closeWriteEnd() {
    if (fds[1] >= 0) ::close(fds[1]);
    fds[1] = -1;
  }
  // Starts a session for "myapp"; the completion's outcome and call count land in `done` and `calls`.
  void start() {
    session = CommandLineWebAuthenticationSession::create(
        {fds[0], [this](const std::string& text) { output += text; }});
    done = {};
    ASSERT_TRUE(session->start({"https://idp.example/authorize?a=1", "myapp", false, nullptr},
                               [this](auto url, auto error) {
                                 if (++calls == 1) done.set_value({url, error, std::this_thread::get_id()});
                               }));
  }
  std::optional<Completed> wait() {
    auto future = done.get_future();
    if (future.wait_for(testing::kWaitBound) != std::future_status::ready) return std::nullopt;
    return future.get();
  }

  int fds[2] = {-1, -1};
  std::shared_ptr<CommandLineWebAuthenticationSession> session;
  std::string output;  // written before the completion runs
  std::atomic<int> calls{0};
  std::promise<Completed> done;
};

TEST_F(CommandLineSessionTest, PromptsAndTakesTheFirstLineWithTheCallbackScheme) {
  start();
  EXPECT_FALSE(session->start({"https://x", "myapp", false, nullptr}, [](auto, auto) {})) << "starts once";
  type("https://elsewhere.example/\n  MyApp://cb?code=c1&state=s1  \nmyapp://second\n");
  const auto completed = wait();
  ASSERT_TRUE(completed);
  EXPECT_EQ(completed->url, "MyApp://cb?code=c1&state=s1");
  EXPECT_FALSE(completed->error);
  EXPECT_NE(completed->thread, std::this_thread::get_id());
  EXPECT_NE(output.find("https://idp.example/authorize?a=1"), std::string::npos) << output;
  EXPECT_NE(output.find("does not start with \"myapp:\""), std::string::npos) << output;
}

TEST_F(CommandLineSessionTest, EmptyLineEndOfInputAndCancelAreCancelledLoginsAndDestroyingReportsNothing) {
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    TearDown();
    SetUp();
    calls = 0;
    start();
    if (round == 0) type("\n");
    if (round == 1) closeWriteEnd();
    if (round == 2) session->cancel();
    if (round == 3) {
      session.reset();  // stops the reader without a completion
      type("myapp://cb\n");
      std::this_thread::sleep_for(50ms);
      EXPECT_EQ(calls.load(), 0);
      continue;
    }
    const auto completed = wait();
    ASSERT_TRUE(completed);
    EXPECT_FALSE(completed->url);
    ASSERT_TRUE(completed->error);
    EXPECT_EQ(completed->error->domain(), domain::webAuthentication);
    EXPECT_EQ(completed->error->code(), webAuthenticationError::cancelledLogin);
  }
}

}  // namespace
}  // namespace velqo::platform
