// Oversized and endless answers fail with bounded memory; plain "http" only to loopback.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <iostream>

#include "platform/platform_test_support.hpp"

namespace velqo::platform {
namespace {

using testing::perform;

long peakRssKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(HttpSessionLimits, OversizedAnswersFailWithBoundedMemoryAndCleartextGoesToLoopbackOnly) {
  // GET /<bytes>/<c|l>: that many bytes of 'x' (0: without end), chunked or with a length.
  testing::LoopbackServer server([](httplib::Server& s) {
    s.Get(R"(/(\d+)/(c|l))", [](const httplib::Request& req, httplib::Response& res) {
      const std::size_t total = std::stoull(req.matches[1]);
      auto provide = [total](std::size_t at, httplib::DataSink& sink) {
        static const std::string piece(65536, 'x');
        if (total != 0 && at >= total) return sink.done(), true;
        return sink.write(piece.data(), total == 0 ? piece.size() : std::min(piece.size(), total - at));
      };
      if (req.matches[2] == "c") return res.set_chunked_content_provider("text/plain", provide);
      res.set_content_provider(
          total, "text/plain",
          [provide](std::size_t at, std::size_t, httplib::DataSink& sink) { return provide(at, sink); });
    });
  });
  HttpSession::Options small;
  small.maxResponseBytes = 1000000;
  small.allowsCleartextHTTP = true;
  const auto byDefault = HttpSession::create(), custom = HttpSession::create(small);
  const std::string port = ":" + std::to_string(server.port());
  const long before = peakRssKiB();
  const std::tuple<std::shared_ptr<HttpSession>, std::string, long> cases[] = {
      {byDefault, server.url("/1073741824/l"), urlError::dataLengthExceedsMaximum},
      {byDefault, server.url("/0/c"), urlError::dataLengthExceedsMaximum},
      {custom, server.url("/1000000/c"), 0},
      {custom, server.url("/1000001/c"), urlError::dataLengthExceedsMaximum},
      // Plain http: refused before any connection to a host that is not a loopback address
      // (no network needed), unless the session allows it; tried to loopback hosts.
      {byDefault, "http://example.com/", urlError::cleartextNotPermitted},
      {byDefault, "HTTP://127.0.0.1.evil.example/", urlError::cleartextNotPermitted},
      {byDefault, "http://0.0.0.0" + port + "/1/l", urlError::cleartextNotPermitted},
      {custom, "http://0.0.0.0" + port + "/1/l", 0},  // this machine, but not loopback
      {byDefault, "http://localhost" + port + "/1/l", 0},
      {byDefault, "http://[::1]" + port + "/1/l", urlError::cannotConnectToHost},  // nobody there
      {byDefault, "http://127.0.0.2" + port + "/1/l", urlError::cannotConnectToHost}};
  for (const auto& [session, url, code] : cases) {
    const auto outcome = perform(session, url);
    EXPECT_EQ(outcome.error ? outcome.error->code() : 0, code) << url;
  }
  const long growthKiB = peakRssKiB() - before;
  std::cout << "[ peak RSS ] " << peakRssKiB() / 1024 << " MiB, " << growthKiB / 1024
            << " MiB more while refusing a 1 GiB and an endless answer\n";
  EXPECT_LT(growthKiB, 256 * 1024);
}

}  // namespace
}  // namespace velqo::platform
