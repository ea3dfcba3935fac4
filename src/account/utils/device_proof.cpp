// The V4 device proof of VelqoFrameworkInternalUtils: payload opening and the recovery of M2.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "account/utils/velqo_framework_internal_utils.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "platform/utf8_validation.hpp"

namespace velqo {
namespace {

using platform::BigInt;
using platform::PlatformError;
using DecryptResult = Result<std::string, PlatformError>;
using Utils = VelqoFrameworkInternalUtils;

constexpr std::size_t kKeyLength = 32;
constexpr std::size_t kIvLength = Utils::GCM_IV_LEN;
constexpr std::size_t kTagLength = Utils::GCM_TAG_LEN;

// Bounds on the service's numbers, so a hostile answer cannot hold the main queue in
// quadratic parsing or in powers over a giant modulus. N stays within 8192 bits (the keys
// in use are far smaller); every decimal the proof reads, c2 < N^2 included, fits in 5000
// characters (2^16384 has 4933 digits).
constexpr std::size_t kMaxModulusBytes = 8192 / 8;
constexpr std::size_t kMaxDecimalLength = 5000;

DecryptResult aesError(std::string description) {
  return DecryptResult::failure(PlatformError(Utils::aesErrorDomain, -1, std::move(description)));
}

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A decimal integer with an optional leading "+" or "-".
std::optional<BigInt> signedDecimal(std::string_view text) {
  if (text.size() > kMaxDecimalLength) return std::nullopt;
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!allDigits(text)) return std::nullopt;
  }
  return BigInt::fromDecimal(text);
}

// Splits "a,b" into exactly two non-empty pieces (empty pieces are dropped first).
std::optional<std::pair<std::string_view, std::string_view>> twoPieces(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    if (comma > start) pieces.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  if (pieces.size() != 2) return std::nullopt;
  return std::make_pair(pieces[0], pieces[1]);
}

// The plaintext of a payload, wiped when the holder goes out of scope.
struct SecretText {
  std::string text;
  SecretText() = default;
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText() { wipe(text); }
};

bool open(std::string_view payload, const BigInt& key, SecretText& out) {
  auto result = Utils::decryptAesGcmPayload(payload, key);
  if (!result) return false;
  out.text = std::move(result.value());
  return true;
}

// The two shares of one prime pair, read from "x1,x2".
std::optional<std::pair<BigInt, BigInt>> shares(const std::string& text) {
  auto pieces = twoPieces(text);
  if (!pieces) return std::nullopt;
  auto first = signedDecimal(pieces->first);
  auto second = signedDecimal(pieces->second);
  if (!first || !second) return std::nullopt;
  return std::make_pair(std::move(*first), std::move(*second));
}

}  // namespace

std::string Utils::sha256Hex(std::string_view text) {
  return platform::crypto::sha256Hex(platform::crypto::view(text));
}

BigInt Utils::sha256BigUInt(std::string_view text) {
  Bytes digest = platform::crypto::sha256(platform::crypto::view(text));
  ScopedWipe wipeDigest(digest);
  return BigInt::fromBigEndian(digest);
}

Bytes Utils::normalized32ByteKey(const BigInt& key) {
  Bytes magnitude = key.toBigEndian();
  ScopedWipe wipeMagnitude(magnitude);
  Bytes out(kKeyLength, 0);
  if (magnitude.size() >= kKeyLength) {
    std::copy(magnitude.end() - kKeyLength, magnitude.end(), out.begin());
  } else {
    std::copy(magnitude.begin(), magnitude.end(), out.end() - static_cast<std::ptrdiff_t>(magnitude.size()));
  }
  return out;
}

DecryptResult Utils::decryptAesGcmPayload(std::string_view payload, const BigInt& key) {
  Bytes keyBytes = normalized32ByteKey(key);
  ScopedWipe wipeKey(keyBytes);
  auto decoded = platform::base64Decode(payload);
  if (!decoded) return aesError("Invalid Base-64 input.");
  const Bytes& data = *decoded;
  if (data.size() < kIvLength + kTagLength) {
    return aesError("GCM payload too short. Length: " + std::to_string(data.size()));
  }
  const std::size_t sealedLength = data.size() - kIvLength;
  if (sealedLength < kTagLength) {
    return aesError("Ciphertext + Tag part of GCM payload is too short. Length: " +
                    std::to_string(sealedLength));
  }
  using platform::crypto::ByteView;
  const ByteView nonce(data.data(), kIvLength);
  const ByteView ciphertext(data.data() + kIvLength, sealedLength - kTagLength);
  const ByteView tag(data.data() + data.size() - kTagLength, kTagLength);
  auto plain = platform::crypto::aesGcmOpen(platform::crypto::view(keyBytes), nonce, ciphertext, tag);
  if (!plain) {
    return DecryptResult::failure(
        PlatformError(cipherErrorDomain, 1, "The payload could not be authenticated with this key."));
  }
  ScopedWipe wipePlain(*plain);
  std::string text = textOf(*plain);
  if (!platform::isWellFormedUtf8(text)) {
    wipe(text);
    return aesError("UTF-8 decode failed.");
  }
  return DecryptResult::success(std::move(text));
}

std::optional<BigInt> Utils::leastCommonMultiple(const BigInt& a, const BigInt& b) {
  const BigInt zero;
  if (a.compare(zero) <= 0 || b.compare(zero) <= 0) return std::nullopt;
  const BigInt g = a.gcd(b);
  return (a / g) * b;
}

BigInt Utils::paillierL(const BigInt& x, const BigInt& n) {
  return (x - BigInt(1)) / n;
}

std::optional<std::string> Utils::regenerateM2f(std::string_view c2Text, std::string_view m1Text,
                                                std::string_view er1r2, std::string_view e12,
                                                std::string_view er3) {
  try {
    // The device's share unlocks er3, whose plaintext R3 unlocks both shares.
    SecretText r3Text;
    if (!open(er3, sha256BigUInt(er1r2), r3Text) || !allDigits(r3Text.text) ||
        r3Text.text.size() > kMaxDecimalLength) {
      return std::nullopt;
    }
    auto r3 = BigInt::fromDecimal(r3Text.text);
    if (!r3) return std::nullopt;
    SecretText r1r2;
    SecretText d1d2;
    if (!open(er1r2, *r3, r1r2) || !open(e12, *r3, d1d2)) return std::nullopt;

    auto d = shares(d1d2.text);
    auto r = shares(r1r2.text);
    if (!d || !r) return std::nullopt;
    const BigInt p = d->first + r->first;
    const BigInt q = d->second + r->second;

    auto c2 = signedDecimal(c2Text);
    auto m1 = signedDecimal(m1Text);
    if (!c2 || !m1) return std::nullopt;

    const BigInt one(1);
    const BigInt n = p * q;
    if (n.compare(one) <= 0 || n.toBigEndian().size() > kMaxModulusBytes) return std::nullopt;
    auto lambda = leastCommonMultiple(p - one, q - one);
    if (!lambda || lambda->isZero()) return std::nullopt;
    const BigInt n2 = n * n;

    // M1 stands in for the generator: mu = L(M1^lambda mod N^2)^-1 mod N.
    const BigInt l1 = paillierL(m1->powMod(*lambda, n2), n);
    if (l1.isZero()) return std::nullopt;
    auto mu = l1.inverseMod(n);
    if (!mu) return std::nullopt;

    const BigInt l2 = paillierL(c2->powMod(*lambda, n2), n);
    BigInt m2 = (l2 * *mu) % n;
    if (m2.isNegative()) m2 = m2 + n;
    return m2.toDecimal();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return std::nullopt;  // arithmetic refused (a zero modulus cannot occur past the checks above)
  }
}

}  // namespace velqo
