#include "platform/bigint.hpp"

#include <cctype>
#include <climits>
#include <new>
#include <stdexcept>

#include <openssl/err.h>

#include "platform/openssl_raii.hpp"

namespace velqo::platform {

using detail::BignumPtr;
using detail::BnCtxPtr;

struct BigInt::Impl {
  BignumPtr bn;
};

namespace {

BignumPtr newBignum() {
  BignumPtr bn(BN_new());
  if (!bn) throw std::bad_alloc();
  return bn;
}

BignumPtr copyBignum(const BIGNUM* source) {
  BignumPtr bn(BN_dup(source));
  if (!bn) throw std::bad_alloc();
  return bn;
}

BnCtxPtr newContext() {
  BnCtxPtr ctx(BN_CTX_new());
  if (!ctx) throw std::bad_alloc();
  return ctx;
}

// Throws for a failed arithmetic call; the only failure left after our own checks is memory.
void check(int result) {
  if (result != 1) {
    ERR_clear_error();
    throw std::bad_alloc();
  }
}

std::unique_ptr<BigInt::Impl> implOf(BignumPtr bn) {
  auto impl = std::make_unique<BigInt::Impl>();
  impl->bn = std::move(bn);
  return impl;
}

// |modulus| as a fresh number.
BignumPtr magnitude(const BIGNUM* value) {
  BignumPtr result = copyBignum(value);
  BN_set_negative(result.get(), 0);
  return result;
}

// The inverse of value modulo the positive `modulus`, or null.
BignumPtr inverse(const BIGNUM* value, const BIGNUM* modulus, BN_CTX* ctx) {
  BignumPtr reduced = newBignum();
  check(BN_nnmod(reduced.get(), value, modulus, ctx));
  BignumPtr result = newBignum();
  if (BN_mod_inverse(result.get(), reduced.get(), modulus, ctx) == nullptr) {
    // "No inverse" is an answer here, not an error for whoever looks at the queue next.
    ERR_clear_error();
    return nullptr;
  }
  return result;
}

}  // namespace

BigInt::BigInt() : impl_(implOf(newBignum())) {}

BigInt::BigInt(long long value) : impl_(implOf(newBignum())) {
  // The magnitude of LLONG_MIN does not fit a long long; unsigned arithmetic does it.
  const unsigned long long magnitudeValue =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  static_assert(sizeof(BN_ULONG) >= sizeof(unsigned long long));
  check(BN_set_word(impl_->bn.get(), static_cast<BN_ULONG>(magnitudeValue)));
  BN_set_negative(impl_->bn.get(), value < 0 ? 1 : 0);
}

BigInt::BigInt(const BigInt& other) : impl_(implOf(copyBignum(other.impl().bn.get()))) {}

BigInt::BigInt(BigInt&& other) noexcept = default;

BigInt& BigInt::operator=(const BigInt& other) {
  if (this != &other) impl_ = implOf(copyBignum(other.impl().bn.get()));
  return *this;
}

BigInt& BigInt::operator=(BigInt&& other) noexcept = default;

BigInt::~BigInt() = default;  // BignumPtr clears the digits before freeing them.

BigInt::BigInt(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}

const BigInt::Impl& BigInt::impl() const noexcept {
  if (impl_) return *impl_;
  // A moved-from value: zero, shared and never written.
  static const Impl zero{BignumPtr(BN_new())};
  return zero;
}

std::optional<BigInt> BigInt::fromDecimal(std::string_view text) {
  const std::size_t digitsStart = (!text.empty() && text.front() == '-') ? 1 : 0;
  if (text.size() == digitsStart || text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  for (std::size_t i = digitsStart; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  // BN_dec2bn needs a terminated string. The digits may be a secret share: the copy is
  // wiped as soon as it has been read.
  std::string copy(text);
  BIGNUM* raw = nullptr;
  const int consumed = BN_dec2bn(&raw, copy.c_str());
  wipe(copy);
  BignumPtr bn(raw);
  // BN_dec2bn stops at the first non-digit; it must have read everything.
  if (!bn || consumed < 0 || static_cast<std::size_t>(consumed) != text.size()) {
    ERR_clear_error();
    return std::nullopt;
  }
  return BigInt(implOf(std::move(bn)));
}

BigInt BigInt::fromBigEndian(const Bytes& bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) throw std::length_error("BigInt: too many bytes");
  BignumPtr bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
  if (!bn) throw std::bad_alloc();
  return BigInt(implOf(std::move(bn)));
}

BigInt BigInt::randomBelow(const BigInt& bound) {
  const BIGNUM* limit = bound.impl().bn.get();
  if (BN_is_zero(limit) || BN_is_negative(limit))
    throw std::domain_error("BigInt: random bound must be positive");
  BignumPtr bn = newBignum();
  if (BN_rand_range(bn.get(), limit) != 1) {
    ERR_clear_error();
    throw std::runtime_error("BigInt: secure random generator failed");
  }
  return BigInt(implOf(std::move(bn)));
}

BigInt BigInt::randomPrime(int bits) {
  if (bits < 16) throw std::domain_error("BigInt: a prime needs at least 16 bits");
  BignumPtr bn = newBignum();
  BnCtxPtr ctx = newContext();
  if (BN_generate_prime_ex2(bn.get(), bits, 0, nullptr, nullptr, nullptr, ctx.get()) != 1) {
    ERR_clear_error();
    throw std::runtime_error("BigInt: prime generation failed");
  }
  return BigInt(implOf(std::move(bn)));
}

std::string BigInt::toDecimal() const {
  const detail::OpensslStringPtr text(BN_bn2dec(impl().bn.get()));
  if (!text) throw std::bad_alloc();
  return std::string(text.get());
}

Bytes BigInt::toBigEndian() const {
  const BIGNUM* bn = impl().bn.get();
  Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
  if (!out.empty()) BN_bn2bin(bn, out.data());
  return out;
}

bool BigInt::isZero() const {
  return BN_is_zero(impl().bn.get()) != 0;
}

bool BigInt::isNegative() const {
  return BN_is_negative(impl().bn.get()) != 0;
}

int BigInt::compare(const BigInt& other) const {
  const int result = BN_cmp(impl().bn.get(), other.impl().bn.get());
  return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

BigInt operator+(const BigInt& a, const BigInt& b) {
  BignumPtr result = newBignum();
  check(BN_add(result.get(), a.impl().bn.get(), b.impl().bn.get()));
  return BigInt(implOf(std::move(result)));
}

BigInt operator-(const BigInt& a, const BigInt& b) {
  BignumPtr result = newBignum();
  check(BN_sub(result.get(), a.impl().bn.get(), b.impl().bn.get()));
  return BigInt(implOf(std::move(result)));
}

BigInt operator*(const BigInt& a, const BigInt& b) {
  BnCtxPtr ctx = newContext();
  BignumPtr result = newBignum();
  check(BN_mul(result.get(), a.impl().bn.get(), b.impl().bn.get(), ctx.get()));
  return BigInt(implOf(std::move(result)));
}

BigInt operator/(const BigInt& a, const BigInt& b) {
  if (b.isZero()) throw std::domain_error("BigInt: division by zero");
  BnCtxPtr ctx = newContext();
  BignumPtr quotient = newBignum();
  // BN_div truncates toward zero, like the built-in integer division.
  check(BN_div(quotient.get(), nullptr, a.impl().bn.get(), b.impl().bn.get(), ctx.get()));
  return BigInt(implOf(std::move(quotient)));
}

BigInt operator%(const BigInt& a, const BigInt& b) {
  if (b.isZero()) throw std::domain_error("BigInt: division by zero");
  BnCtxPtr ctx = newContext();
  BignumPtr remainder = newBignum();
  // The remainder takes the dividend's sign (BN_div, not BN_nnmod).
  check(BN_div(nullptr, remainder.get(), a.impl().bn.get(), b.impl().bn.get(), ctx.get()));
  return BigInt(implOf(std::move(remainder)));
}

BigInt BigInt::powMod(const BigInt& exponent, const BigInt& modulus) const {
  if (modulus.isZero()) throw std::domain_error("BigInt: zero modulus");
  BnCtxPtr ctx = newContext();
  const BignumPtr m = magnitude(modulus.impl().bn.get());
  if (BN_is_one(m.get())) return BigInt();

  // BN_mod_exp ignores the exponent's sign: a negative exponent raises the inverse instead.
  BignumPtr base = newBignum();
  check(BN_nnmod(base.get(), impl().bn.get(), m.get(), ctx.get()));
  if (exponent.isNegative()) {
    base = inverse(base.get(), m.get(), ctx.get());
    if (!base) throw std::domain_error("BigInt: base has no inverse for a negative exponent");
  }
  const BignumPtr e = magnitude(exponent.impl().bn.get());

  BignumPtr result = newBignum();
  if (BN_is_odd(m.get())) {
    check(BN_mod_exp_mont_consttime(result.get(), base.get(), e.get(), m.get(), ctx.get(), nullptr));
  } else {
    check(BN_mod_exp(result.get(), base.get(), e.get(), m.get(), ctx.get()));
  }
  return BigInt(implOf(std::move(result)));
}

BigInt BigInt::gcd(const BigInt& other) const {
  BnCtxPtr ctx = newContext();
  BignumPtr result = newBignum();
  check(BN_gcd(result.get(), impl().bn.get(), other.impl().bn.get(), ctx.get()));
  return BigInt(implOf(std::move(result)));
}

std::optional<BigInt> BigInt::inverseMod(const BigInt& modulus) const {
  if (modulus.isZero()) return std::nullopt;
  BnCtxPtr ctx = newContext();
  const BignumPtr m = magnitude(modulus.impl().bn.get());
  BignumPtr result = inverse(impl().bn.get(), m.get(), ctx.get());
  if (!result) return std::nullopt;
  return BigInt(implOf(std::move(result)));
}

}  // namespace velqo::platform
