// What the HTTP session refuses: answers over its size limit (announced or streamed without
// end), with memory kept bounded, and plain "http" to hosts that are not loopback addresses.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "platform/platform_test_support.hpp"
#include "velqo/platform/http.hpp"

namespace velqo::platform {
namespace {

using testing::LoopbackServer;
using testing::perform;

constexpr std::size_t kMiB = 1024 * 1024;

long peakRssKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Streams `total` bytes of 'x' in 64 KiB pieces (chunked when `chunked`), or without end
// (bounded at 8 GiB) when `total` is 0; stops as soon as the client goes away.
void stream(httplib::Server& s, const std::string& path, std::size_t total, bool chunked,
            std::atomic<std::size_t>& sent) {
  s.Get(path, [total, chunked, &sent](const httplib::Request&, httplib::Response& res) {
    auto provide = [total, &sent](std::size_t offset, httplib::DataSink& sink) {
      static const std::string piece(64 * 1024, 'x');
      const std::size_t limit = total == 0 ? std::size_t{8} << 30 : total;
      if (offset >= limit) {
        sink.done();
        return true;
      }
      const std::size_t n = std::min(piece.size(), limit - offset);
      sent += n;
      return sink.write(piece.data(), n);
    };
    if (chunked) {
      res.set_chunked_content_provider(
          "application/octet-stream",
          [provide](std::size_t offset, httplib::DataSink& sink) { return provide(offset, sink); });
    } else {
      res.set_content_provider(total, "application/octet-stream",
                               [provide](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 return provide(offset, sink);
                               });
    }
  });
}

TEST(HttpSessionLimits, AnswersOverTheLimitFailCleanlyWithBoundedMemory) {
  std::atomic<std::size_t> sent{0};
  LoopbackServer server([&sent](httplib::Server& s) {
    stream(s, "/gigabyte", std::size_t{1} << 30, false, sent);
    stream(s, "/endless", 0, true, sent);
    stream(s, "/exactly", kMiB, true, sent);
    stream(s, "/one-more", kMiB + 1, true, sent);
    s.Get("/headers", [](const httplib::Request&, httplib::Response& res) {
      for (int i = 0; i < 2500; ++i) res.set_header("X-Pad-" + std::to_string(i), std::string(100, 'h'));
    });
  });
  auto byDefault = HttpSession::create();
  HttpSession::Options small;
  small.maxResponseBytes = kMiB;
  HttpSession::Options tiny;
  tiny.maxResponseBytes = 64 * 1024;
  auto tinySession = HttpSession::create(tiny);
  auto limited = HttpSession::create(small);

  struct Case {
    std::shared_ptr<HttpSession> session;
    const char* path;
    bool accepted;
  };
  const Case cases[] = {
      {byDefault, "/gigabyte", false},  // refused by its Content-Length
      {byDefault, "/endless", false},   // aborted when the limit is passed
      {limited, "/exactly", true},     {limited, "/one-more", false},
      {tinySession, "/headers", false},  // 270 KB of header lines
      {byDefault, "/headers", true},
  };
  const long before = peakRssKiB();
  for (const auto& c : cases) {
    const auto outcome = perform(c.session, server.url(c.path));
    if (c.accepted) {
      ASSERT_TRUE(outcome.response) << c.path;
      EXPECT_EQ(outcome.response->statusCode, 200) << c.path;
    } else {
      ASSERT_TRUE(outcome.error) << c.path;
      EXPECT_FALSE(outcome.response) << c.path;
      EXPECT_EQ(outcome.error->domain(), domain::url);
      EXPECT_EQ(outcome.error->code(), urlError::dataLengthExceedsMaximum) << c.path;
    }
  }
  EXPECT_EQ(perform(limited, server.url("/exactly")).body->size(), kMiB);
  const long growthKiB = peakRssKiB() - before;
  std::cout << "[ peak RSS ] " << peakRssKiB() / 1024 << " MiB in all, " << growthKiB / 1024
            << " MiB more over the oversized answers (the server sent " << sent / kMiB << " MiB)\n";
  ::testing::Test::RecordProperty("peak_rss_growth_kib", std::to_string(growthKiB));
  EXPECT_LT(growthKiB, 256 * 1024) << "answers are not buffered whole";
}

TEST(HttpSessionCleartext, PlainHttpGoesToLoopbackHostsOnlyUnlessTheSessionAllowsMore) {
  LoopbackServer server([](httplib::Server& s) {
    s.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  });
  const std::string port = std::to_string(server.port());
  auto strict = HttpSession::create();
  HttpSession::Options optedIn;
  optedIn.allowsCleartextHTTP = true;
  auto lenient = HttpSession::create(optedIn);

  // Refused before any connection is attempted, so none of these needs a network.
  for (const std::string& url : std::vector<std::string>{
           "http://example.com/", "http://10.0.0.1:" + port + "/", "http://0.0.0.0:" + port + "/",
           "http://128.0.0.1/", "http://127.0.0.1.example.com/", "http://localhost.example.com/",
           "http://[::2]/", "http://[::ffff:10.0.0.1]/", "HTTP://Example.COM/"}) {
    const auto outcome = perform(strict, url);
    ASSERT_TRUE(outcome.error) << url;
    EXPECT_EQ(outcome.error->code(), urlError::cleartextNotPermitted) << url;
    EXPECT_FALSE(outcome.response);
  }
  // Loopback addresses are allowed: answered, or at least tried (nothing listens there).
  for (const std::string& url :
       std::vector<std::string>{server.url("/"), "http://localhost:" + port + "/",
                                "http://127.0.0.2:" + port + "/", "http://[::1]:" + port + "/"}) {
    const auto outcome = perform(strict, url);
    EXPECT_TRUE(outcome.response || outcome.error->code() == urlError::cannotConnectToHost) << url;
  }
  // A session that opts in reaches this machine through a non-loopback address too.
  const auto outcome = perform(lenient, "http://0.0.0.0:" + port + "/");
  ASSERT_TRUE(outcome.response) << (outcome.error ? outcome.error->localizedDescription() : "");
  EXPECT_EQ(outcome.body, "ok");
}

}  // namespace
}  // namespace velqo::platform
