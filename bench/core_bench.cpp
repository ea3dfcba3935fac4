// Costs of the core services: device fingerprint, ID-token verification and the device-trust
// sealing steps.

#include <benchmark/benchmark.h>

#include <string>

#include "core/identity/fingerprint_generator.hpp"
#include "velqo/core/oauth_token_verifier.hpp"
#include "velqo/core/velqo_v1_crypto.hpp"

#include "bench_environment.hpp"

namespace {

using namespace velqo;

// Key and token from tests/core/data/make_core_vectors.py.
constexpr const char* kES256PublicPem = R"PEM(-----BEGIN PUBLIC KEY-----
MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEn62Erq4Iu+9/AQAU2CzvagneKwz4
cbXODE8dE6WaWTQHy0V2nxBw4sJHD+Wxv+YxM8CwzcZOpL83kajsKgf9Tw==
-----END PUBLIC KEY-----
)PEM";
constexpr const char* kES256Token =
    "eyJhbGciOiJFUzI1NiIsInR5cCI6IkpXVCJ9."
    "eyJhdWQiOiJjbGllbnQtMTIzIiwic3ViIjoidXNlci0xIiwiaXNzIjoiaHR0cHM6Ly9pc3N1"
    "ZXIuZXhhbXBsZSJ9.1DakecSSIBWhjpq8XWONpaM1MI65j0TtcEd5RDSP_-zC-L_L7aEMNe9qcnwecepJbZRwgusmUuV2pzaMoJzEAQ";

void BM_GenerateFingerprint(benchmark::State& state) {
  const velqo::bench::ScopedBenchEnvironment environment;
  FingerprintGenerator::generateFingerprint("bench@example.com");  // the secret file exists from here on
  for (auto _ : state)
    benchmark::DoNotOptimize(FingerprintGenerator::generateFingerprint("bench@example.com"));
}
BENCHMARK(BM_GenerateFingerprint);

void BM_VerifyIdTokenES256(benchmark::State& state) {
  const OAuthTokenVerifier verifier{kES256PublicPem, "client-123"};
  for (auto _ : state) verifier.verify(kES256Token);
}
BENCHMARK(BM_VerifyIdTokenES256);

struct SuiteInputs {
  Bytes secret = VelqoV1Crypto::randomBytes(32);
  Bytes salt0 = VelqoV1Crypto::randomBytes(32);
  Bytes privateKey = VelqoV1Crypto::randomBytes(32);
  Bytes publicKey = VelqoV1Crypto::randomBytes(32);
  Bytes sk0 = VelqoV1Crypto::deriveSK0(secret, salt0);
  Bytes sk1 = VelqoV1Crypto::randomBytes(32);
  Bytes sk2 = VelqoV1Crypto::randomBytes(32);
  Bytes info = VelqoV1Crypto::makeInfoString("com.velqo.bench", "Linux", VelqoV1CryptoSuite::algorithmP256);
  Bytes combinedSalt = VelqoV1Crypto::encryptCombinedSalt(salt0, info, sk1);
  Bytes keyset = VelqoV1Crypto::encryptKeyset(publicKey, combinedSalt, sk2);
};

void BM_EncryptCombinedPrs(benchmark::State& state) {
  const SuiteInputs in;
  for (auto _ : state) benchmark::DoNotOptimize(VelqoV1Crypto::encryptCombinedPrs(in.privateKey, in.sk0));
}
BENCHMARK(BM_EncryptCombinedPrs);

void BM_EncryptCombinedSalt(benchmark::State& state) {
  const SuiteInputs in;
  for (auto _ : state)
    benchmark::DoNotOptimize(VelqoV1Crypto::encryptCombinedSalt(in.salt0, in.info, in.sk1));
}
BENCHMARK(BM_EncryptCombinedSalt);

void BM_EncryptKeyset(benchmark::State& state) {
  const SuiteInputs in;
  for (auto _ : state) {
    benchmark::DoNotOptimize(VelqoV1Crypto::encryptKeyset(in.publicKey, in.combinedSalt, in.sk2));
  }
}
BENCHMARK(BM_EncryptKeyset);

void BM_DecryptKeyset(benchmark::State& state) {
  const SuiteInputs in;
  for (auto _ : state) benchmark::DoNotOptimize(VelqoV1Crypto::decryptKeyset(in.keyset, in.sk2));
}
BENCHMARK(BM_DecryptKeyset);

void BM_SignChallenge(benchmark::State& state) {
  const SuiteInputs in;
  const std::string challenge = "Y2hhbGxlbmdlLWJ5dGVzLWZvci1iZW5jaG1hcmstMzI=";
  for (auto _ : state) {
    benchmark::DoNotOptimize(VelqoV1Crypto::signChallenge(challenge, "base64", "example.com", in.privateKey));
  }
}
BENCHMARK(BM_SignChallenge);

}  // namespace
