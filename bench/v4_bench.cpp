// The V4 answer M2 against its floor: the two constant-time modular powers with the secret
// exponent lambda modulo N^2 that it cannot avoid. Arguments are the bits of N.

#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "account/utils/velqo_framework_internal_utils.hpp"
#include "platform/bigint.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"

namespace {

using velqo::Bytes;
using velqo::VelqoFrameworkInternalUtils;
using velqo::platform::BigInt;
namespace crypto = velqo::platform::crypto;

std::string seal(const std::string& plaintext, const Bytes& key) {
  const Bytes nonce = crypto::randomBytes(12);
  auto sealed = crypto::aesGcmSeal(crypto::view(key), crypto::view(nonce), crypto::view(plaintext));
  Bytes out = nonce;
  out.insert(out.end(), sealed->ciphertext.begin(), sealed->ciphertext.end());
  out.insert(out.end(), sealed->tag.begin(), sealed->tag.end());
  return velqo::platform::base64Encode(out);
}

// One device's key, shares and a challenge, as the service would send them.
struct Inputs {
  std::string c2, m1, er1r2, e12, er3;
  BigInt lambda, n2, m1Value, c2Value;
};

const Inputs& inputs(int modulusBits) {
  static std::map<int, Inputs> cache;
  auto it = cache.find(modulusBits);
  if (it != cache.end()) return it->second;
  const BigInt one(1);
  const BigInt p = BigInt::randomPrime(modulusBits / 2);
  const BigInt q = BigInt::randomPrime(modulusBits / 2);
  const BigInt n = p * q;
  const BigInt n2 = n * n;
  const BigInt r1 = BigInt::randomBelow(p);
  const BigInt r2 = BigInt::randomBelow(q);
  const BigInt r3 = BigInt::randomBelow(BigInt::fromBigEndian(Bytes(32, 0xFF)));
  const Bytes r3Key = VelqoFrameworkInternalUtils::normalized32ByteKey(r3);
  Inputs in;
  in.er1r2 = seal(r1.toDecimal() + "," + r2.toDecimal(), r3Key);
  in.e12 = seal((p - r1).toDecimal() + "," + (q - r2).toDecimal(), r3Key);
  in.er3 = seal(r3.toDecimal(), crypto::sha256(crypto::view(in.er1r2)));
  in.m1Value = BigInt(4000000000LL);
  in.m1 = in.m1Value.toDecimal();
  in.c2Value = (in.m1Value.powMod(BigInt::randomBelow(n), n2) * BigInt::randomBelow(n).powMod(n, n2)) % n2;
  in.c2 = in.c2Value.toDecimal();
  const BigInt pm1 = p - one;
  const BigInt qm1 = q - one;
  in.lambda = (pm1 / pm1.gcd(qm1)) * qm1;
  in.n2 = n2;
  return cache.emplace(modulusBits, std::move(in)).first->second;
}

void BM_V4RegenerateM2f(benchmark::State& state) {
  const Inputs& in = inputs(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto m2 = VelqoFrameworkInternalUtils::regenerateM2f(in.c2, in.m1, in.er1r2, in.e12, in.er3);
    if (!m2) state.SkipWithError("no M2");
    benchmark::DoNotOptimize(m2);
  }
}
BENCHMARK(BM_V4RegenerateM2f)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_V4BareModPow(benchmark::State& state) {
  const Inputs& in = inputs(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    BigInt x1 = in.m1Value.powMod(in.lambda, in.n2);
    BigInt x2 = in.c2Value.powMod(in.lambda, in.n2);
    benchmark::DoNotOptimize(x1);
    benchmark::DoNotOptimize(x2);
  }
}
BENCHMARK(BM_V4BareModPow)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
