#pragma once

// Arbitrary-precision signed integers over OpenSSL's BIGNUM (not installed).

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velqo/platform/bytes.hpp"

namespace velqo::platform {

class BigInt {
 public:
  BigInt();  ///< zero
  explicit BigInt(long long value);
  BigInt(const BigInt& other);
  BigInt(BigInt&& other) noexcept;
  BigInt& operator=(const BigInt& other);
  BigInt& operator=(BigInt&& other) noexcept;
  ~BigInt();  ///< clears the value's memory

  /// Decimal text with an optional leading "-"; nothing for anything else (empty text,
  /// a stray character, a lone "-").
  static std::optional<BigInt> fromDecimal(std::string_view text);
  /// Unsigned big-endian bytes (empty gives zero).
  static BigInt fromBigEndian(const Bytes& bytes);
  /// A uniformly random non-negative value below `bound`; throws std::domain_error when
  /// bound <= 0 and std::runtime_error when the secure generator fails.
  static BigInt randomBelow(const BigInt& bound);
  /// A random prime of exactly `bits` bits (at least 16); throws std::domain_error for fewer
  /// bits and std::runtime_error when the generator fails.
  static BigInt randomPrime(int bits);

  std::string toDecimal() const;
  /// Big-endian bytes of the magnitude (zero gives an empty buffer).
  Bytes toBigEndian() const;

  bool isZero() const;
  bool isNegative() const;
  int compare(const BigInt& other) const;  ///< -1, 0, 1
  friend bool operator==(const BigInt& a, const BigInt& b) { return a.compare(b) == 0; }
  friend bool operator<(const BigInt& a, const BigInt& b) { return a.compare(b) < 0; }

  friend BigInt operator+(const BigInt& a, const BigInt& b);
  friend BigInt operator-(const BigInt& a, const BigInt& b);
  friend BigInt operator*(const BigInt& a, const BigInt& b);
  /// Truncating division and remainder (like C++ on ints: the remainder takes the dividend's
  /// sign). Division by zero throws std::domain_error.
  friend BigInt operator/(const BigInt& a, const BigInt& b);
  friend BigInt operator%(const BigInt& a, const BigInt& b);

  /// base^exponent mod modulus, result in [0, |modulus|). A negative exponent uses the modular
  /// inverse of the base; throws std::domain_error for a zero modulus or no inverse. Odd
  /// moduli take OpenSSL's constant-time path (the exponent may be a secret).
  BigInt powMod(const BigInt& exponent, const BigInt& modulus) const;
  BigInt gcd(const BigInt& other) const;  ///< non-negative; gcd(0, 0) is 0
  /// The inverse modulo |modulus|, in [0, |modulus|), or nothing when there is none (the
  /// values share a factor, or the modulus is zero).
  std::optional<BigInt> inverseMod(const BigInt& modulus) const;

  struct Impl;

 private:
  explicit BigInt(std::unique_ptr<Impl> impl) noexcept;
  /// The value's storage; a moved-from BigInt reads as zero.
  const Impl& impl() const noexcept;

  std::unique_ptr<Impl> impl_;
};

}  // namespace velqo::platform
