// The reference service makes each ID-token key on first use: threads that sign with a curve at
// once must all sign with the one key that the service's public key for that curve names.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "velqo/core/oauth_token_verifier.hpp"
#include "velqo_localservice/local_service.hpp"

namespace velqo {
namespace {

using localservice::Curve;

TEST(LocalServiceConcurrency, FirstTokensFromManyThreadsShareOneKeyPerCurve) {
  localservice::LocalService service;
  constexpr int kThreads = 9;
  const Curve curves[] = {Curve::p256, Curve::p384, Curve::p521};
  std::vector<std::string> tokens(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back(
        [&, i] { tokens[i] = service.issueIdToken(curves[i % 3], R"({"aud":"client-123"})"); });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_NO_THROW(OAuthTokenVerifier(service.publicKeyPem(curves[i % 3]), "client-123").verify(tokens[i]))
        << "token " << i;
  }
}

}  // namespace
}  // namespace velqo
