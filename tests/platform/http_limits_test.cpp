// Oversized and endless answers fail with bounded memory; plain "http" only to loopback.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <iostream>

#include "platform/platform_test_support.hpp"

namespace velqo::platform {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

long peakRssKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(HttpSessionLimits, AnswersOverTheLimitFailWithBoundedMemory) {
  // GET /<bytes>/<c|l>: that many bytes (0: without end), chunked or with a Content-Length.
  testing::LoopbackServer server([](httplib::Server& s) {
    s.Get(R"(/(\d+)/(c|l))", [](const httplib::Request& req, httplib::Response& res) {
      const std::size_t total = std::stoull(req.matches[1]);
      auto provide = [total](std::size_t offset, httplib::DataSink& sink) {
        static const std::string piece(64 * 1024, 'x');
        if (total != 0 && offset >= total) return sink.done(), true;
        return sink.write(piece.data(), total == 0 ? piece.size() : std::min(piece.size(), total - offset));
      };
      if (req.matches[2] == "c") return res.set_chunked_content_provider("application/octet-stream", provide);
      res.set_content_provider(
          total, "application/octet-stream",
          [provide](std::size_t at, std::size_t, httplib::DataSink& sink) { return provide(at, sink); });
    });
  });
  HttpSession::Options oneMiB;
  oneMiB.maxResponseBytes = kMiB;
  const auto byDefault = HttpSession::create(), limited = HttpSession::create(oneMiB);
  const long before = peakRssKiB();
  const std::tuple<std::shared_ptr<HttpSession>, std::string, bool> cases[] = {
      {byDefault, "/1073741824/l", false},
      {byDefault, "/0/c", false},
      {limited, "/1048576/c", true},
      {limited, "/1048577/c", false}};
  for (const auto& [session, path, accepted] : cases) {
    const auto outcome = testing::perform(session, server.url(path));
    EXPECT_EQ(outcome.body ? outcome.body->size() : 0, accepted ? kMiB : 0) << path;
    EXPECT_EQ(outcome.error ? outcome.error->code() : 0, accepted ? 0 : urlError::dataLengthExceedsMaximum)
        << path;
  }
  const long growthKiB = peakRssKiB() - before;
  std::cout << "[ peak RSS ] " << peakRssKiB() / 1024 << " MiB, " << growthKiB / 1024
            << " MiB more while refusing a 1 GiB and an endless answer\n";
  EXPECT_LT(growthKiB, 256 * 1024);
}

TEST(HttpSessionCleartext, PlainHttpGoesToLoopbackHostsOnlyUnlessTheSessionAllowsMore) {
  testing::LoopbackServer server([](httplib::Server& s) {
    s.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  });
  const std::string port = ":" + std::to_string(server.port()) + "/";
  HttpSession::Options optedIn;
  optedIn.allowsCleartextHTTP = true;
  const auto strict = HttpSession::create(), lenient = HttpSession::create(optedIn);
  // Refused before any connection is tried (no network needed); loopback hosts are tried.
  const std::pair<std::string, bool> cases[] = {{"http://example.com/", false},
                                                {"HTTP://10.0.0.1/", false},
                                                {"http://0.0.0.0" + port, false},
                                                {"http://128.0.0.1/", false},
                                                {"http://127.0.0.1.evil.example/", false},
                                                {"http://localhost.example/", false},
                                                {"http://[::ffff:10.0.0.1]/", false},
                                                {server.url("/"), true},
                                                {"http://localhost" + port, true},
                                                {"http://127.0.0.2" + port, true},
                                                {"http://[::1]" + port, true}};
  for (const auto& [url, allowed] : cases) {
    const auto outcome = testing::perform(strict, url);
    EXPECT_EQ(outcome.error && outcome.error->code() == urlError::cleartextNotPermitted, !allowed) << url;
  }
  EXPECT_EQ(testing::perform(lenient, "http://0.0.0.0" + port).body, "ok");  // this machine, not loopback
}

}  // namespace
}  // namespace velqo::platform
