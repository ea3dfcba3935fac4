// Costs of the cryptographic steps the sign-in flows are built from.

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <stdexcept>
#include <string>

#include "platform/bigint.hpp"
#include "platform/crypto.hpp"
#include "platform/openssl_raii.hpp"
#include "velqo/platform/secure_keys.hpp"

namespace {

using namespace velqo;
using namespace velqo::platform;
using crypto::view;

SecKeyRef newSoftwareKey() {
  auto key = keys::createRandomKey(KeyAttributes{});
  if (!key) throw std::runtime_error("key generation failed");
  return key.value();
}

void BM_P256KeyGeneration(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(newSoftwareKey());
}
BENCHMARK(BM_P256KeyGeneration);

void BM_P256EcdhX963Kdf(benchmark::State& state) {
  const SecKeyRef own = newSoftwareKey();
  // The peer comes in as a 65-byte point, validated once at import as in the device-trust code.
  const Bytes point = keys::copyExternalRepresentation(keys::copyPublicKey(newSoftwareKey())).value();
  const SecKeyRef peer = keys::createPublicKeyWithData(point).value();
  for (auto _ : state) {
    auto secret = keys::copyKeyExchangeResult(own, KeyExchangeAlgorithm::ecdhStandardX963SHA256, peer, 32);
    benchmark::DoNotOptimize(secret);
  }
}
BENCHMARK(BM_P256EcdhX963Kdf);

void BM_HkdfSha256_32(benchmark::State& state) {
  const Bytes secret = crypto::randomBytes(32), salt = crypto::randomBytes(32),
              info = bytesOf("Symmetrickey2");
  for (auto _ : state) benchmark::DoNotOptimize(crypto::hkdfSha256(view(secret), view(salt), view(info), 32));
}
BENCHMARK(BM_HkdfSha256_32);

void BM_AesGcmSeal100(benchmark::State& state) {
  const Bytes key = crypto::randomBytes(32), nonce = crypto::randomBytes(12),
              plaintext = crypto::randomBytes(100);
  for (auto _ : state) benchmark::DoNotOptimize(crypto::aesGcmSeal(view(key), view(nonce), view(plaintext)));
}
BENCHMARK(BM_AesGcmSeal100);

void BM_Ed25519Sign64(benchmark::State& state) {
  const Bytes seed = crypto::randomBytes(32), message = crypto::randomBytes(64);
  for (auto _ : state) benchmark::DoNotOptimize(crypto::ed25519Sign(view(seed), view(message)));
}
BENCHMARK(BM_Ed25519Sign64);

// An ES256 signature in the raw r||s form of ID tokens, with its key as PEM.
struct Es256Sample {
  std::string pem;
  Bytes message = bytesOf("eyJhbGciOiJFUzI1NiJ9.eyJzdWIiOiJ1c2VyIn0");
  Bytes rawSignature;
};

Es256Sample makeEs256Sample() {
  using namespace velqo::platform::detail;
  Es256Sample sample;
  EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  BioPtr bio(BIO_new(BIO_s_mem()));
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!key || !bio || !ctx || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1)
    throw std::runtime_error("PEM");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  sample.pem.assign(data, static_cast<std::size_t>(length));

  Bytes der(80);
  std::size_t derLength = der.size();
  if (EVP_DigestSignInit_ex(ctx.get(), nullptr, "SHA256", nullptr, nullptr, key.get(), nullptr) != 1 ||
      EVP_DigestSign(ctx.get(), der.data(), &derLength, sample.message.data(), sample.message.size()) != 1) {
    throw std::runtime_error("sign");
  }
  const unsigned char* cursor = der.data();
  EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derLength)));
  if (!sig) throw std::runtime_error("DER");
  sample.rawSignature.assign(64, 0);
  BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), sample.rawSignature.data(), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), sample.rawSignature.data() + 32, 32);
  return sample;
}

void BM_Es256Verify(benchmark::State& state) {
  const Es256Sample sample = makeEs256Sample();
  if (crypto::ecdsaVerifyRaw(sample.pem, crypto::EcCurve::p256, view(sample.message),
                             view(sample.rawSignature)) != crypto::EcdsaVerifyResult::valid) {
    state.SkipWithError("sample signature does not verify");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(crypto::ecdsaVerifyRaw(sample.pem, crypto::EcCurve::p256, view(sample.message),
                                                    view(sample.rawSignature)));
  }
}
BENCHMARK(BM_Es256Verify);

// c^lambda mod N^2 with a 2048-bit N: the heavy step of the V4 device proof. Any odd N of full
// size costs the same as a true RSA modulus.
void BM_ModPowPaillier2048(benchmark::State& state) {
  Bytes nBytes = crypto::randomBytes(256);
  nBytes.front() |= 0x80;
  nBytes.back() |= 0x01;
  const BigInt n = BigInt::fromBigEndian(nBytes);
  const BigInt n2 = n * n;
  const BigInt c = BigInt::randomBelow(n2);
  const BigInt lambda = BigInt::randomBelow(n);
  for (auto _ : state) benchmark::DoNotOptimize(c.powMod(lambda, n2));
}
BENCHMARK(BM_ModPowPaillier2048)->Unit(benchmark::kMillisecond);

void BM_Sha256_200(benchmark::State& state) {
  const Bytes data = crypto::randomBytes(200);
  for (auto _ : state) benchmark::DoNotOptimize(crypto::sha256(view(data)));
}
BENCHMARK(BM_Sha256_200);

}  // namespace
