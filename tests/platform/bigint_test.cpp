#include "platform/bigint.hpp"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <climits>
#include <stdexcept>

namespace velqo::platform {
namespace {

BigInt dec(std::string_view text) {
  return BigInt::fromDecimal(text).value();
}

constexpr const char* k2To128 = "340282366920938463463374607431768211456";

TEST(BigIntArithmetic, TruncatingDivisionLikeBuiltInIntegers) {
  const std::tuple<long long, long long, long long, long long> cases[] = {
      {7, 2, 3, 1}, {7, -2, -3, 1}, {-7, 2, -3, -1}, {-7, -2, 3, -1}, {0, 5, 0, 0}, {6, 3, 2, 0},
  };
  for (const auto& [a, b, quotient, remainder] : cases) {
    SCOPED_TRACE(std::to_string(a) + " / " + std::to_string(b));
    EXPECT_EQ((BigInt(a) / BigInt(b)).toDecimal(), std::to_string(quotient));
    EXPECT_EQ((BigInt(a) % BigInt(b)).toDecimal(), std::to_string(remainder));
  }
  EXPECT_THROW(BigInt(1) / BigInt(0), std::domain_error);
  EXPECT_THROW(BigInt(1) % BigInt(), std::domain_error);
}

TEST(BigIntArithmetic, SignsAndLargeValues) {
  const BigInt big = dec(k2To128);
  EXPECT_EQ((big * big).toDecimal(),
            "115792089237316195423570985008687907853269984665640564039457584007913129639936");
  EXPECT_EQ((BigInt(5) - big).toDecimal(), "-340282366920938463463374607431768211451");
  EXPECT_EQ((big + BigInt(-1)).toDecimal(), "340282366920938463463374607431768211455");
  EXPECT_EQ(BigInt(LLONG_MIN).toDecimal(), "-9223372036854775808");
  EXPECT_EQ(BigInt(LLONG_MAX).toDecimal(), "9223372036854775807");
  EXPECT_TRUE((BigInt(-3) * BigInt(0)).isZero());
  EXPECT_FALSE((BigInt(-3) * BigInt(0)).isNegative());
  EXPECT_TRUE(BigInt(-1) < BigInt(0));
  EXPECT_EQ(big.compare(big + BigInt(1)), -1);
  EXPECT_EQ(big, dec(k2To128));
}

TEST(BigIntText, DecimalParsing) {
  for (const char* text : {"", "-", "12a", "+5", " 5", "5 ", "--5", "0x10", "1-", "1.0"}) {
    EXPECT_FALSE(BigInt::fromDecimal(text).has_value()) << '"' << text << '"';
  }
  EXPECT_EQ(dec("007").toDecimal(), "7");
  EXPECT_EQ(dec("-0").toDecimal(), "0");
  EXPECT_FALSE(dec("-0").isNegative());
  EXPECT_EQ(dec("-" + std::string(k2To128)).toDecimal(), "-" + std::string(k2To128));
}

TEST(BigIntModular, PowModKnownValues) {
  const std::tuple<long long, long long, long long, long long> cases[] = {
      {4, 13, 497, 445},                               // odd modulus
      {3, 5, 8, 3},                                    // even modulus
      {-2, 3, 5, 2},                                   // negative base: (-8) mod 5
      {3, -1, 11, 4},                                  // negative exponent: inverse
      {3, -2, 11, 5},    {5, 0, 7, 1}, {5, 3, -7, 6},  // the modulus' sign does not matter
      {5, 3, 1, 0},
  };
  for (const auto& [base, exponent, modulus, expected] : cases) {
    SCOPED_TRACE(std::to_string(base) + "^" + std::to_string(exponent) + " mod " + std::to_string(modulus));
    EXPECT_EQ(BigInt(base).powMod(BigInt(exponent), BigInt(modulus)), BigInt(expected));
  }
  // Fermat on the Mersenne prime 2^127 - 1.
  const BigInt prime = dec("170141183460469231731687303715884105727");
  EXPECT_EQ(dec("123456789123456789").powMod(prime - BigInt(1), prime), BigInt(1));
  EXPECT_THROW(BigInt(2).powMod(BigInt(3), BigInt(0)), std::domain_error);
  EXPECT_THROW(BigInt(2).powMod(BigInt(-1), BigInt(4)), std::domain_error);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(BigIntModular, GcdAndInverse) {
  EXPECT_EQ(BigInt(12).gcd(BigInt(-18)), BigInt(6));
  EXPECT_EQ(BigInt(0).gcd(BigInt(0)), BigInt(0));
  EXPECT_EQ(BigInt(3).inverseMod(BigInt(11)), BigInt(4));
  EXPECT_EQ(BigInt(-3).inverseMod(BigInt(11)), BigInt(7));
  EXPECT_EQ(BigInt(14).inverseMod(BigInt(11)), BigInt(4));
  EXPECT_FALSE(BigInt(6).inverseMod(BigInt(9)).has_value());
  EXPECT_FALSE(BigInt(3).inverseMod(BigInt(0)).has_value());
  EXPECT_EQ(ERR_peek_error(), 0u) << "a missing inverse must not leave errors behind";
}

TEST(BigIntBytes, BigEndianRoundTrip) {
  EXPECT_TRUE(BigInt::fromBigEndian({}).isZero());
  EXPECT_TRUE(BigInt().toBigEndian().empty());
  EXPECT_EQ(BigInt::fromBigEndian({0x00, 0x01, 0x00}), BigInt(256));
  EXPECT_EQ(BigInt(256).toBigEndian(), (Bytes{0x01, 0x00}));
  EXPECT_EQ(BigInt(-256).toBigEndian(), (Bytes{0x01, 0x00}));  // magnitude only
  Bytes expected(17, 0);
  expected[0] = 0x01;
  EXPECT_EQ(dec(k2To128).toBigEndian(), expected);
  EXPECT_EQ(BigInt::fromBigEndian(expected), dec(k2To128));
}

TEST(BigIntValue, CopyMoveAndRandom) {
  BigInt a = dec(k2To128);
  BigInt copy = a;
  a = a + BigInt(1);
  EXPECT_EQ(copy.toDecimal(), k2To128);
  BigInt moved = std::move(copy);
  EXPECT_EQ(moved.toDecimal(), k2To128);
  EXPECT_TRUE(copy.isZero());  // NOLINT(bugprone-use-after-move): a moved-from value reads as zero
  EXPECT_EQ((copy + BigInt(2)).toDecimal(), "2");

  const BigInt bound(1000);
  bool sawDifferent = false;
  const BigInt first = BigInt::randomBelow(bound);
  for (int i = 0; i < 50; ++i) {
    const BigInt r = BigInt::randomBelow(bound);
    EXPECT_FALSE(r.isNegative());
    EXPECT_TRUE(r < bound);
    sawDifferent = sawDifferent || !(r == first);
  }
  EXPECT_TRUE(sawDifferent);
  EXPECT_TRUE(BigInt::randomBelow(BigInt(1)).isZero());
  EXPECT_THROW(BigInt::randomBelow(BigInt(0)), std::domain_error);
  EXPECT_THROW(BigInt::randomBelow(BigInt(-5)), std::domain_error);
}

}  // namespace
}  // namespace velqo::platform
