#include "platform/encoding.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <regex>
#include <set>

namespace velqo::platform {
namespace {

using std::chrono::system_clock;

TEST(EncodingBase64, Rfc4648VectorsBothWays) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(std::string_view(plain)), encoded);
    EXPECT_EQ(base64Encode(bytesOf(plain)), encoded);
    EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
  }
  const Bytes all = [] {
    Bytes b;
    for (int i = 0; i < 256; ++i) b.push_back(static_cast<std::uint8_t>(i));
    return b;
  }();
  EXPECT_EQ(base64Decode(base64Encode(all)), all);
  EXPECT_EQ(base64UrlDecode(base64UrlEncode(all)), all);
}

TEST(EncodingBase64, StrictDecoderRefusesMalformedText) {
  const char* invalid[] = {
      "Zm9vYg",      // padding missing
      "Zm9vYg=",     // length not a multiple of four
      "Zm9v Yg==",   // whitespace inside
      "Zm9vYg==\n",  // trailing newline
      " Zm9v",       // leading space
      "Zg==Zg==",    // padding in the middle
      "Zm=vYg==",    // "=" in the middle
      "Zm9v*g==",    // outside the alphabet
      "Zm9v-_==",    // URL-safe alphabet
      "Zm9vY===",    // three padding characters
      "====",       "Z===",
  };
  for (const char* text : invalid) EXPECT_FALSE(base64Decode(text).has_value()) << '"' << text << '"';
  // Non-zero bits below the last whole byte are ignored rather than refused.
  EXPECT_EQ(base64Decode("Zh=="), bytesOf("f"));
}

TEST(EncodingBase64, UrlAlphabetWithOptionalPadding) {
  const Bytes bytes = {0xfb, 0xff};
  EXPECT_EQ(base64Encode(bytes), "+/8=");
  EXPECT_EQ(base64UrlEncode(bytes), "-_8");
  EXPECT_EQ(base64UrlDecode("-_8"), bytes);
  EXPECT_EQ(base64UrlDecode("-_8="), bytes);
  EXPECT_EQ(base64UrlDecode(""), Bytes{});
  for (const char* text : {"+/8", "-_8==", "-_8=A", "A", "ab=c", "-_ 8", "-_8.", "Zg="}) {
    EXPECT_FALSE(base64UrlDecode(text).has_value()) << '"' << text << '"';
  }
}

TEST(EncodingHex, EncodesLowerDecodesEitherCase) {
  EXPECT_EQ(hexEncode(Bytes{0x00, 0xab, 0xff, 0x10}), "00abff10");
  EXPECT_EQ(hexDecode("00ABff10"), (Bytes{0x00, 0xab, 0xff, 0x10}));
  EXPECT_EQ(hexDecode(""), Bytes{});
  for (const char* text : {"0", "0g", "0x0a", " 0a", "0a ", "abc", "zz"}) {
    EXPECT_FALSE(hexDecode(text).has_value()) << '"' << text << '"';
  }
}

struct DateCase {
  const char* text;
  bool fractional;
  std::optional<long long> epochNanos;
};

constexpr long long kSecond = 1'000'000'000;
constexpr long long kBase = 1704164645LL * kSecond;  // 2024-01-02T03:04:05Z

TEST(EncodingDate, ParsesBothFormsStrictly) {
  const DateCase cases[] = {
      {"2024-01-02T03:04:05Z", false, kBase},
      {"2024-01-02T03:04:05+02:00", false, kBase - 7200 * kSecond},
      {"2024-01-02T03:04:05-05:30", false, kBase + 19800 * kSecond},
      {"2024-01-02T03:04:05+00:00", false, kBase},
      {"2024-01-02T03:04:05.123Z", true, kBase + 123'000'000},
      {"2024-01-02T03:04:05.5+02:00", true, kBase + 500'000'000 - 7200 * kSecond},
      {"1970-01-01T00:00:00.000000001Z", true, 1},
      {"1970-01-01T00:00:00.1234567891Z", true, 123456789},
      {"1969-12-31T23:59:59Z", false, -kSecond},
      {"2024-02-29T00:00:00Z", false, 1709164800LL * kSecond},
      // Each mode refuses the other form.
      {"2024-01-02T03:04:05.123Z", false, std::nullopt},
      {"2024-01-02T03:04:05Z", true, std::nullopt},
      {"2024-01-02T03:04:05.Z", true, std::nullopt},
      // Malformed or out of range.
      {"2024-01-02t03:04:05Z", false, std::nullopt},
      {"2024-01-02T03:04:05z", false, std::nullopt},
      {"2024-01-02 03:04:05Z", false, std::nullopt},
      {"2024-01-02T03:04:05", false, std::nullopt},
      {"2024-01-02T03:04:05+0200", false, std::nullopt},
      {"2024-01-02T03:04:05+24:00", false, std::nullopt},
      {"2024-01-02T03:04:05Z ", false, std::nullopt},
      {"2023-02-29T00:00:00Z", false, std::nullopt},
      {"2024-13-01T00:00:00Z", false, std::nullopt},
      {"2024-01-00T00:00:00Z", false, std::nullopt},
      {"2024-01-02T24:00:00Z", false, std::nullopt},
      {"2024-01-02T23:60:00Z", false, std::nullopt},
      {"2024-01-02T23:59:60Z", false, std::nullopt},
      {"24-01-02T03:04:05Z", false, std::nullopt},
      {"", false, std::nullopt},
      {"", true, std::nullopt},
  };
  for (const DateCase& c : cases) {
    SCOPED_TRACE(std::string(c.text) + (c.fractional ? " (fractional)" : " (whole)"));
    const auto parsed = parseInternetDateTime(c.text, c.fractional);
    ASSERT_EQ(parsed.has_value(), c.epochNanos.has_value());
    if (parsed) {
      EXPECT_EQ(std::chrono::duration_cast<std::chrono::nanoseconds>(parsed->time_since_epoch()).count(),
                *c.epochNanos);
    }
  }
}

TEST(EncodingDate, FormatsUtcWholeSeconds) {
  const system_clock::time_point base{std::chrono::seconds(1704164645)};
  EXPECT_EQ(formatInternetDateTime(base + std::chrono::milliseconds(900)), "2024-01-02T03:04:05Z");
  EXPECT_EQ(formatInternetDateTime(system_clock::time_point{} - std::chrono::milliseconds(500)),
            "1969-12-31T23:59:59Z");
  EXPECT_EQ(parseInternetDateTime(formatInternetDateTime(base), false), base);
}

TEST(EncodingMisc, UuidIsVersion4UpperCaseAndFresh) {
  const std::regex shape("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    const std::string uuid = makeUuid();
    EXPECT_TRUE(std::regex_match(uuid, shape)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 64u);
}

TEST(EncodingMisc, TrimAndLowerCase) {
  EXPECT_EQ(trimWhitespace(" \t\r\n\v\f a b \n"), "a b");
  EXPECT_EQ(trimWhitespace(" \n "), "");
  EXPECT_EQ(trimWhitespace("x"), "x");
  EXPECT_EQ(toLowerAscii("BaSe64-\xC3\x89"), "base64-\xC3\x89");  // non-ASCII bytes untouched
}

}  // namespace
}  // namespace velqo::platform
