// The command-line web-authentication session, fed through a pipe: the prompt, the lines it
// accepts, refuses and takes as cancellation, cancel, and its thread.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "velqo/platform/web_auth_session.hpp"

namespace velqo::platform {
namespace {

using namespace std::chrono_literals;

class CommandLineSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::pipe(fds), 0); }
  void TearDown() override {
    session.reset();
    closeWriteEnd();
    ::close(fds[0]);
  }
  void type(const std::string& text) {
    ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void closeWriteEnd() {
    if (fds[1] >= 0) ::close(fds[1]);
    fds[1] = -1;
  }
  void start(std::optional<std::string> scheme = "myapp") {
    CommandLineWebAuthenticationSession::Options options;
    options.inputFd = fds[0];
    options.output = [this](const std::string& text) {
      std::lock_guard lock(mutex);
      output += text;
    };
    session = CommandLineWebAuthenticationSession::create(options);
    ASSERT_TRUE(session->start({"https://idp.example/authorize?a=1", std::move(scheme), false, nullptr},
                               [this](std::optional<std::string> url, std::optional<PlatformError> error) {
                                 std::lock_guard lock(mutex);
                                 ++calls;
                                 callbackURL = std::move(url);
                                 failure = std::move(error);
                                 completionThread = std::this_thread::get_id();
                                 cv.notify_all();
                               }));
  }
  bool waitForCompletion() {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, 5s, [this] { return calls > 0; });
  }
  bool isCancelled() {
    std::lock_guard lock(mutex);
    return !callbackURL && failure && failure->domain() == domain::webAuthentication &&
           failure->code() == webAuthenticationError::cancelledLogin;
  }

  int fds[2] = {-1, -1};
  std::shared_ptr<CommandLineWebAuthenticationSession> session;
  std::mutex mutex;
  std::condition_variable cv;
  std::string output;
  int calls = 0;
  std::optional<std::string> callbackURL;
  std::optional<PlatformError> failure;
  std::thread::id completionThread;
};

TEST_F(CommandLineSessionTest, PromptsAndTakesTheFirstLineWithTheCallbackScheme) {
  start();
  type("https://elsewhere.example/\n  MyApp://cb?code=c1&state=s1  \nmyapp://second\n");
  ASSERT_TRUE(waitForCompletion());
  std::lock_guard lock(mutex);
  EXPECT_EQ(callbackURL, "MyApp://cb?code=c1&state=s1");
  EXPECT_FALSE(failure.has_value());
  EXPECT_NE(completionThread, std::this_thread::get_id());
  EXPECT_NE(output.find("https://idp.example/authorize?a=1"), std::string::npos) << output;
  EXPECT_NE(output.find("does not start with \"myapp:\""), std::string::npos) << output;
}

TEST_F(CommandLineSessionTest, EmptyLineEndOfInputAndCancelAreCancelledLogins) {
  for (int round = 0; round < 3; ++round) {
    TearDown();
    SetUp();
    calls = 0;
    start();
    if (round == 0) type("\n");
    if (round == 1) closeWriteEnd();
    if (round == 2) session->cancel();
    ASSERT_TRUE(waitForCompletion()) << round;
    EXPECT_TRUE(isCancelled()) << round;
  }
}

TEST_F(CommandLineSessionTest, StartsOnceAndADestroyedSessionReportsNothing) {
  start();
  EXPECT_FALSE(session->start({"https://x", "myapp", false, nullptr}, [](auto, auto) {}));
  session.reset();  // stops the reader without a completion
  type("myapp://cb\n");
  std::this_thread::sleep_for(50ms);
  std::lock_guard lock(mutex);
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace velqo::platform
