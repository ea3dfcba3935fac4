#include "platform/encoding.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <limits>
#include <optional>
#include <regex>
#include <set>
#include <vector>

#include "platform/identifier_text.hpp"
#include "platform/url.hpp"
#include "support/test_environment.hpp"

namespace velqo::platform {
namespace {

TEST(EncodingBase64, Rfc4648VectorsBothWaysAndStrictDecoding) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(bytesOf(plain)), encoded);
    EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
  }
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  EXPECT_EQ(base64Decode(base64Encode(all)), all);
  EXPECT_EQ(base64UrlDecode(base64UrlEncode(all)), all);

  for (const char* text : {"Zm9vYg", "Zm9vYg=", "Zm9v Yg==", "Zm9vYg==\n",
                           "Zg==Zg==", "Zm=vYg==", "Zm9v*g==", "Zm9v-_==", "Zm9vY===", "===="}) {
    EXPECT_FALSE(base64Decode(text).has_value()) << '"' << text << '"';
  }
  EXPECT_EQ(base64Decode("Zh=="), bytesOf("f"));  // non-zero bits below the last byte are ignored
}

TEST(EncodingBase64, UrlAlphabetWithOptionalPadding) {
  const Bytes bytes = {0xfb, 0xff};
  EXPECT_EQ(base64Encode(bytes), "+/8=");
  EXPECT_EQ(base64UrlEncode(bytes), "-_8");
  EXPECT_EQ(base64UrlDecode("-_8"), bytes);
  EXPECT_EQ(base64UrlDecode("-_8="), bytes);
  for (const char* text : {"+/8", "-_8==", "-_8=A", "A", "-_ 8", "Zg="}) {
    EXPECT_FALSE(base64UrlDecode(text).has_value()) << '"' << text << '"';
  }
}

TEST(EncodingHex, EncodesLowerDecodesEitherCase) {
  EXPECT_EQ(hexEncode(Bytes{0x00, 0xab, 0xff, 0x10}), "00abff10");
  EXPECT_EQ(hexDecode("00ABff10"), (Bytes{0x00, 0xab, 0xff, 0x10}));
  for (const char* text : {"0", "0g", "0x0a", " 0a", "zz"}) EXPECT_FALSE(hexDecode(text).has_value()) << text;
}

TEST(EncodingDate, ParsesBothFormsStrictlyAndFormatsUtcWholeSeconds) {
  // [text, fractional form, nanoseconds since 1970 or null when refused]; far dates saturate
  // to "max"/"min" instead of wrapping.
  const auto cases =
      testing::readJsonFile(std::filesystem::path(__FILE__).parent_path() / "data/internet_dates.json");
  ASSERT_GT(cases.size(), 20u);
  for (const auto& row : cases) {
    const std::string text = row[0];
    const bool fractional = row[1];
    std::optional<long long> epochNanos;
    if (row[2] == "max")
      epochNanos = std::numeric_limits<long long>::max();
    else if (row[2] == "min")
      epochNanos = std::numeric_limits<long long>::min();
    else if (!row[2].is_null())
      epochNanos = row[2].get<long long>();
    SCOPED_TRACE(std::string(text) + (fractional ? " (fractional)" : " (whole)"));
    std::optional<long long> nanos;
    if (const auto parsed = parseInternetDateTime(text, fractional)) {
      nanos = std::chrono::nanoseconds(parsed->time_since_epoch()).count();
    }
    EXPECT_EQ(nanos, epochNanos);
  }

  using std::chrono::system_clock;
  const system_clock::time_point base{std::chrono::seconds(1704164645)};
  EXPECT_EQ(formatInternetDateTime(base + std::chrono::milliseconds(900)), "2024-01-02T03:04:05Z");
  EXPECT_EQ(formatInternetDateTime(system_clock::time_point{} - std::chrono::milliseconds(500)),
            "1969-12-31T23:59:59Z");
}

TEST(EncodingMisc, UuidTrimAndLowerCase) {
  const std::regex shape("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    const std::string uuid = makeUuid();
    EXPECT_TRUE(std::regex_match(uuid, shape)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 64u);
  EXPECT_EQ(trimWhitespace(" \t\r\n\v\f a b \n"), "a b");
  EXPECT_EQ(trimWhitespace(" \n "), "");
  EXPECT_EQ(toLowerAscii("BaSe64-\xC3\x89"), "base64-\xC3\x89");  // non-ASCII bytes untouched
}

TEST(EncodingMisc, TrimTakesEveryUnicodeWhiteSpaceAndLineBreakAtTheEndsOnly) {
  // NEL, no-break space, ogham space, en quad, hair space, line and paragraph separators,
  // narrow no-break space, medium mathematical space, ideographic space.
  const std::vector<std::string> spaces = {"\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80",
                                           "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF",
                                           "\xE2\x81\x9F", "\xE3\x80\x80", "\t",           "\n"};
  std::string all;
  for (const std::string& space : spaces) {
    all += space;
    EXPECT_EQ(trimWhitespace(space + "a" + space + "b" + space), "a" + space + "b") << space;
  }
  EXPECT_EQ(trimWhitespace(all), "");
  EXPECT_EQ(trimWhitespace(all + "x" + all), "x");
  const std::vector<std::pair<std::string, std::string>> kept = {
      {"\xE2\x80\x8B"
       "a",
       "\xE2\x80\x8B"
       "a"},  // zero-width space: not white space
      {"\xEF\xBB\xBF"
       "a",
       "\xEF\xBB\xBF"
       "a"},                         // byte order mark
      {"a\xA0", "a\xA0"},            // a stray continuation byte, not U+00A0
      {"a \xE3\x80", "a \xE3\x80"},  // a cut ideographic space
      {"\x80\xE3\x80\x80"
       "a",
       "\x80\xE3\x80\x80"
       "a"},
      {"\xF0\x9F\x98\x80 ", "\xF0\x9F\x98\x80"},  // four bytes, then a space
  };
  for (const auto& [text, trimmed] : kept) EXPECT_EQ(trimWhitespace(text), trimmed);
}

TEST(EncodingMisc, IdentifierNormalisationIsUnicodeAware) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"\xC2\xA0\xE3\x80\x80 \xC3\x89lodie@Example.COM\n\xE2\x80\xA8", "\xC3\xA9lodie@example.com"},
      {"STRASSE \xCE\xA3\xCE\x91", "strasse \xCF\x83\xCE\xB1"},  // Greek capitals
      {"\xC4\xB0", "i\xCC\x87"},                                 // dotted capital I: full mapping
      {"\xFF Ab\xC2", "\xFF ab\xC2"},                            // ill-formed bytes pass through
      {" \t\xC2\xA0", ""},
  };
  for (const auto& [text, normalised] : rows) EXPECT_EQ(normalizedIdentifier(text), normalised) << text;
  // Plain ASCII text follows the same rules as text with a non-ASCII character in it.
  const std::string nbsp = "\xC2\xA0";
  for (int code = 1; code < 0x80; ++code) {
    const std::string c(1, static_cast<char>(code));
    const std::string ascii = c + "Ab" + c + "Z" + c;
    EXPECT_EQ(normalizedIdentifier(ascii), normalizedIdentifier(nbsp + ascii + nbsp)) << code;
    EXPECT_EQ(trimWhitespace(ascii), trimWhitespace(nbsp + ascii + nbsp)) << code;
  }
  EXPECT_EQ(trimWhitespace("\xE2\x80\x83"
                           "A b\xC2\xA0"),
            "A b");
}

const nlohmann::json& urlCases() {
  static const auto data =
      testing::readJsonFile(std::filesystem::path(__FILE__).parent_path() / "data/urls.json");
  return data;
}

// Rows: text, normalised text, scheme, host, port, path, query, fragment (null when absent).
TEST(Url, ParsesAbsoluteUrlsIncludingCustomSchemes) {
  const auto orNull = [](const auto& value) { return value ? nlohmann::json(*value) : nlohmann::json(); };
  for (const auto& c : urlCases()["parsed"]) {
    SCOPED_TRACE(c[0].get<std::string>());
    const auto url = Url::parse(c[0].get<std::string>());
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->text(), c[1].get<std::string>());
    EXPECT_EQ(nlohmann::json::array({url->scheme(), url->host(), orNull(url->port()), url->path(),
                                     orNull(url->query()), orNull(url->fragment())}),
              nlohmann::json(std::vector<nlohmann::json>(c.begin() + 2, c.end())));
  }
  ASSERT_GT(urlCases()["refused"].size(), 10u);
  for (const auto& text : urlCases()["refused"]) {
    EXPECT_FALSE(Url::parse(text.get<std::string>()).has_value()) << text;
  }
}

TEST(EncodingPercent, KeepsLettersDigitsAndTheCallersSetAndEscapesEveryOtherByte) {
  struct Case {
    std::string_view text;
    std::string_view kept;
    BlankEncoding blanks;
    std::string_view expected;
  };
  const Case cases[] = {
      {"", "-", BlankEncoding::percent, ""},
      {"AZaz09", "", BlankEncoding::percent, "AZaz09"},
      {"a-b.c_d~e", "", BlankEncoding::percent, "a%2Db%2Ec%5Fd%7Ee"},
      {"a-b.c_d~e", "-._~", BlankEncoding::percent, "a-b.c_d~e"},
      {"a b+c", "-._*", BlankEncoding::plus, "a+b%2Bc"},
      {"a b+c", "+", BlankEncoding::percent, "a%20b+c"},
      {"a b", " ", BlankEncoding::percent, "a%20b"},  // a blank is never kept as itself
      {std::string_view("\0\x01\x7F", 3), "", BlankEncoding::percent, "%00%01%7F"},
      {std::string_view("a\0b", 3), std::string_view("\0", 1), BlankEncoding::percent, "a%00b"},
      {"\xC3\xA9\xFF", "", BlankEncoding::plus, "%C3%A9%FF"},  // upper-case digits, byte by byte
      {"%25&=?#/", "/?", BlankEncoding::percent, "%2525%26%3D?%23/"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(percentEncode(c.text, c.kept, c.blanks), c.expected)
        << '"' << c.text << "\" kept \"" << c.kept << '"';
  }
  EXPECT_EQ(percentEncode("a b", "-"), "a%20b") << "blanks as %20 by default";
}

TEST(Url, QueryItemsAreDecodedInOrder) {
  const auto url = Url::parse("myapp://cb?code=a%2Bb&state=x+y&flag&empty=&dup=1&dup=2&eq=a=b&n%61me=%26%3D");
  ASSERT_TRUE(url.has_value());
  using Item = std::pair<std::string, std::optional<std::string>>;
  const std::vector<Item> expected = {
      {"code", "a+b"}, {"state", "x+y"}, {"flag", std::nullopt}, {"empty", ""},
      {"dup", "1"},    {"dup", "2"},     {"eq", "a=b"},          {"name", "&="},
  };
  EXPECT_EQ(url->queryItems(), expected);
  EXPECT_TRUE(Url::parse("https://h/p?")->queryItems().empty());
}

TEST(Url, AppendingPathComponentAndPercentDecode) {
  for (const auto& c : urlCases()["appended"]) {
    const std::string base = c[0], segment = c[1];
    EXPECT_EQ(Url::parse(base)->appendingPathComponent(segment).text(), c[2].get<std::string>())
        << base << " + " << segment;
  }
  EXPECT_EQ(percentDecode("%41%42c+%e2%82%AC"), "ABc+\xE2\x82\xAC");
  for (const char* text : {"%", "%4", "%zz", "50%"}) EXPECT_FALSE(percentDecode(text).has_value()) << text;
}

}  // namespace
}  // namespace velqo::platform
