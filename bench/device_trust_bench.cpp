// CPU cost of a V1 device setup and a device challenge (in-memory item store), next to the sum
// of the cryptographic primitives each one performs, measured on their own, so the overhead of
// the store, the record JSON and the surrounding code can be read off as the ratio.
//
// Primitives per operation (hardware-key path, key already present; fallback path in brackets):
//   setup:     key lookup 1 [0], P-256 key generation 1 [0], public key copy 1 [0], algorithm
//              checks 2 [0], ECDH + X9.63 KDF 1 [0], point export 1 [0], random draws 7 (3 salts,
//              1 seed, 3 nonces) [+1 secret], HKDF 4, AES-GCM seal 3, Ed25519 key derivation 1,
//              SHA-256 4 (sk1 salt, dfp, hindex, record reference).
//   challenge: key lookup 1 [0], point import 1 [0], algorithm checks 2 [0], ECDH + X9.63 KDF 1
//              [0], SHA-256 2 (record reference, sk1 salt), HKDF 2, AES-GCM open 2, Ed25519 key
//              derivation + sign 1.

#include <benchmark/benchmark.h>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo/v1/flows/device_crypto_service.hpp"

#include "bench_environment.hpp"

namespace {

using namespace velqo;
namespace crypto = velqo::platform::crypto;
namespace keys = velqo::platform::keys;

const std::string kService = "bench.svc";
const std::string kUser = "bench.user@example.com";
const std::string kProject = "project-1";
const std::string kDomain = "example.com";

using Environment = velqo::bench::ScopedBenchEnvironment;

Environment::Options hardwareKeys(bool hardware) {
  Environment::Options options;
  options.hardwareKeys = hardware;
  return options;
}

// The combined salt the remote service sends back: opened from the keyset with the sent sk2.
Bytes serviceCombinedSalt(const VelqoV1Action& setup) {
  const auto& request = *setup.as<VelqoV1Action::RequestChallenge>();
  const Bytes keyset = *platform::base64Decode(request.keyset);
  const Bytes sk2 = *platform::base64Decode(request.sk2);
  auto plain = crypto::aesGcmOpen(crypto::view(sk2), crypto::ByteView(keyset.data(), 12),
                                  crypto::ByteView(keyset.data() + 12, keyset.size() - 28),
                                  crypto::ByteView(keyset.data() + keyset.size() - 16, 16));
  return Bytes(plain->begin() + 32, plain->end());
}

void BM_DeviceSetup(benchmark::State& state) {
  const Environment environment(hardwareKeys(state.range(0) != 0));
  auto service = VelqoV1DeviceCryptoService::create(kProject, VelqoV1DeviceCryptoStore::create(kService));
  service->handleSetupDevice(kDomain, "", "1", kUser);  // the hardware key exists from here on
  for (auto _ : state) {
    benchmark::DoNotOptimize(service->handleSetupDevice(kDomain, "", "1", kUser));
  }
}
BENCHMARK(BM_DeviceSetup)->ArgName("hardware")->Arg(1)->Arg(0);

void BM_DeviceChallenge(benchmark::State& state) {
  const Environment environment(hardwareKeys(state.range(0) != 0));
  auto service = VelqoV1DeviceCryptoService::create(kProject, VelqoV1DeviceCryptoStore::create(kService));
  const VelqoV1Action setup = service->handleSetupDevice(kDomain, "", "1", kUser);
  const std::string combinedSalt = platform::base64Encode(serviceCombinedSalt(setup));
  const std::string challenge = platform::base64Encode(crypto::randomBytes(32));
  for (auto _ : state) {
    benchmark::DoNotOptimize(service->handleDeviceChallenge(challenge, "base64", "kid", "", kDomain,
                                                            combinedSalt, "base64", kUser));
  }
}
BENCHMARK(BM_DeviceChallenge)->ArgName("hardware")->Arg(1)->Arg(0);

// Inputs of realistic sizes for the primitive sums.
struct Inputs {
  Environment environment;
  Inputs() {
    platform::KeyAttributes attributes;
    attributes.token = platform::KeyToken::secureEnclave;
    attributes.permanent = true;
    attributes.applicationTag = tag;
    hardwareKey = keys::createRandomKey(attributes).value();
    platform::KeyAttributes software;
    peer = keys::copyPublicKey(keys::createRandomKey(software).value());
    peerPoint = keys::copyExternalRepresentation(peer).value();
  }
  Bytes tag = bytesOf(kService + ".v1.uak." + kUser + "+" + kProject);
  platform::SecKeyRef hardwareKey;
  platform::SecKeyRef peer;
  Bytes peerPoint;
  Bytes secret = Bytes(32, 1);
  Bytes salt = Bytes(32, 2);
  Bytes key = Bytes(32, 3);
  Bytes nonce = Bytes(12, 4);
  std::string recordKey = kUser + "+" + kProject;
  Bytes info = bytesOf("com.example.appLinuxECDH P-256+Ed25519v1");
  Bytes combinedprs = Bytes(48, 5);
  Bytes dfpInput = Bytes(32 + 15 + 5, 6);
  Bytes hindexInput = Bytes(32 * 3 + 48 + 65 + 32 + kUser.size() + kDomain.size() + 32, 7);
};

Bytes sealed(const Inputs& in, const Bytes& plaintext) {
  auto s = crypto::aesGcmSeal(crypto::view(in.key), crypto::view(in.nonce), crypto::view(plaintext));
  Bytes blob = in.nonce;
  blob.insert(blob.end(), s->ciphertext.begin(), s->ciphertext.end());
  blob.insert(blob.end(), s->tag.begin(), s->tag.end());
  return blob;
}

Bytes ecdh(const platform::SecKeyRef& privateKey, const platform::SecKeyRef& publicKey) {
  benchmark::DoNotOptimize(
      keys::isAlgorithmSupported(privateKey, platform::KeyExchangeAlgorithm::ecdhStandardX963SHA256));
  benchmark::DoNotOptimize(
      keys::isAlgorithmSupported(publicKey, platform::KeyExchangeAlgorithm::ecdhStandardX963SHA256));
  return keys::copyKeyExchangeResult(privateKey, platform::KeyExchangeAlgorithm::ecdhStandardX963SHA256,
                                     publicKey, 32)
      .value();
}

Bytes hkdf(const Inputs& in, const char* label) {
  return crypto::hkdfSha256(crypto::view(in.secret), crypto::view(in.salt),
                            crypto::view(std::string_view(label)), 32);
}

Bytes open(const Inputs& in, const Bytes& blob) {
  return crypto::aesGcmOpen(crypto::view(in.key), crypto::ByteView(blob.data(), 12),
                            crypto::ByteView(blob.data() + 12, blob.size() - 28),
                            crypto::ByteView(blob.data() + blob.size() - 16, 16))
      .value();
}

void BM_SetupPrimitiveSum(benchmark::State& state) {
  const bool hardware = state.range(0) != 0;
  Inputs in;
  Bytes salt0AndInfo = in.salt;
  salt0AndInfo.insert(salt0AndInfo.end(), in.info.begin(), in.info.end());
  const Bytes combinedSalt = sealed(in, salt0AndInfo);
  Bytes publicAndSalt(32, 8);
  publicAndSalt.insert(publicAndSalt.end(), combinedSalt.begin(), combinedSalt.end());
  for (auto _ : state) {
    if (hardware) {
      platform::SecKeyRef key;
      benchmark::DoNotOptimize(keys::copyMatchingKey(in.tag, platform::KeyType::ecPrimeRandom,
                                                     platform::KeyToken::secureEnclave, key));
      auto ephemeral = keys::createRandomKey(platform::KeyAttributes{});
      auto ephemeralPublic = keys::copyPublicKey(ephemeral.value());
      benchmark::DoNotOptimize(ecdh(key, ephemeralPublic));
      benchmark::DoNotOptimize(keys::copyExternalRepresentation(ephemeralPublic));
    } else {
      benchmark::DoNotOptimize(crypto::randomBytes(32));
    }
    for (int i = 0; i < 4; ++i) benchmark::DoNotOptimize(crypto::randomBytes(32));
    for (int i = 0; i < 3; ++i) benchmark::DoNotOptimize(crypto::randomBytes(12));
    for (const char* label : {"Symmetrickey0", "Symmetrickey2", "HDS", "Symmetrickey1"}) {
      benchmark::DoNotOptimize(hkdf(in, label));
    }
    benchmark::DoNotOptimize(crypto::ed25519PublicKey(crypto::view(in.key)));
    benchmark::DoNotOptimize(sealed(in, in.key));
    benchmark::DoNotOptimize(sealed(in, salt0AndInfo));
    benchmark::DoNotOptimize(sealed(in, publicAndSalt));
    benchmark::DoNotOptimize(crypto::sha256(crypto::view(in.combinedprs)));
    benchmark::DoNotOptimize(crypto::sha256(crypto::view(in.dfpInput)));
    benchmark::DoNotOptimize(crypto::sha256(crypto::view(in.hindexInput)));
    benchmark::DoNotOptimize(crypto::sha256Hex(crypto::view(in.recordKey)));
  }
}
BENCHMARK(BM_SetupPrimitiveSum)->ArgName("hardware")->Arg(1)->Arg(0);

void BM_ChallengePrimitiveSum(benchmark::State& state) {
  const bool hardware = state.range(0) != 0;
  Inputs in;
  Bytes salt0AndInfo = in.salt;
  salt0AndInfo.insert(salt0AndInfo.end(), in.info.begin(), in.info.end());
  const Bytes combinedSalt = sealed(in, salt0AndInfo);
  const Bytes sealedKey = sealed(in, in.key);
  const Bytes message = Bytes(32 + kDomain.size(), 9);
  for (auto _ : state) {
    if (hardware) {
      platform::SecKeyRef key;
      benchmark::DoNotOptimize(keys::copyMatchingKey(in.tag, platform::KeyType::ecPrimeRandom,
                                                     platform::KeyToken::secureEnclave, key));
      auto peer = keys::createPublicKeyWithData(in.peerPoint);
      benchmark::DoNotOptimize(ecdh(key, peer.value()));
    }
    benchmark::DoNotOptimize(crypto::sha256Hex(crypto::view(in.recordKey)));
    benchmark::DoNotOptimize(crypto::sha256(crypto::view(in.combinedprs)));
    benchmark::DoNotOptimize(hkdf(in, "Symmetrickey1"));
    benchmark::DoNotOptimize(open(in, combinedSalt));
    benchmark::DoNotOptimize(hkdf(in, "Symmetrickey0"));
    benchmark::DoNotOptimize(open(in, sealedKey));
    benchmark::DoNotOptimize(crypto::ed25519Sign(crypto::view(in.key), crypto::view(message)));
  }
}
BENCHMARK(BM_ChallengePrimitiveSum)->ArgName("hardware")->Arg(1)->Arg(0);

}  // namespace
