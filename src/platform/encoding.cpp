#include "platform/encoding.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "platform/crypto.hpp"

namespace velqo::platform {

namespace {

constexpr char kStandardAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> decodeTable(const char* alphabet) {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
  return table;
}

constexpr auto kStandardTable = decodeTable(kStandardAlphabet);
constexpr auto kUrlTable = decodeTable(kUrlAlphabet);

std::string encodeBase64(const std::uint8_t* data, std::size_t size, const char* alphabet, bool pad) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t group =
        (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
    out.push_back(alphabet[(group >> 18) & 0x3F]);
    out.push_back(alphabet[(group >> 12) & 0x3F]);
    out.push_back(alphabet[(group >> 6) & 0x3F]);
    out.push_back(alphabet[group & 0x3F]);
  }
  const std::size_t rest = size - i;
  if (rest > 0) {
    std::uint32_t group = std::uint32_t{data[i]} << 16;
    if (rest == 2) group |= std::uint32_t{data[i + 1]} << 8;
    out.push_back(alphabet[(group >> 18) & 0x3F]);
    out.push_back(alphabet[(group >> 12) & 0x3F]);
    if (rest == 2) out.push_back(alphabet[(group >> 6) & 0x3F]);
    if (pad) out.append(rest == 1 ? "==" : "=");
  }
  return out;
}

// Decodes unpadded base64 symbols (the caller has removed any padding). A final group of one
// symbol cannot encode a byte and fails. Bits below the last whole byte of a short final group
// are ignored, as the platform decoder we stand in for ignores them.
std::optional<Bytes> decodeSymbols(std::string_view symbols, const std::array<std::uint8_t, 256>& table) {
  if (symbols.size() % 4 == 1) return std::nullopt;
  Bytes out;
  out.reserve(symbols.size() / 4 * 3 + 2);
  std::uint32_t group = 0;
  std::size_t filled = 0;
  for (const char c : symbols) {
    const std::uint8_t value = table[static_cast<unsigned char>(c)];
    if (value == kInvalid) return std::nullopt;
    group = (group << 6) | value;
    if (++filled == 4) {
      out.push_back(static_cast<std::uint8_t>(group >> 16));
      out.push_back(static_cast<std::uint8_t>(group >> 8));
      out.push_back(static_cast<std::uint8_t>(group));
      group = 0;
      filled = 0;
    }
  }
  if (filled == 2) {
    out.push_back(static_cast<std::uint8_t>(group >> 4));
  } else if (filled == 3) {
    out.push_back(static_cast<std::uint8_t>(group >> 10));
    out.push_back(static_cast<std::uint8_t>(group >> 2));
  }
  return out;
}

// Splits off trailing "=" padding. Padded text must come in whole groups of four with at most
// two "=" characters at the very end; nothing for anything else.
std::optional<std::string_view> stripPadding(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  if (padding > 2) return std::nullopt;
  return text.substr(0, text.size() - padding);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads exactly `width` decimal digits at `pos`, advancing it.
std::optional<int> readDigits(std::string_view text, std::size_t& pos, std::size_t width) {
  if (pos + width > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  pos += width;
  return value;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

// The White_Space property: tab to carriage return, space, NEL, no-break space, the Unicode
// spaces and the line and paragraph separators. An ill-formed sequence (c < 0) is not white.
bool isWhiteSpace(UChar32 c) {
  return c >= 0 && u_isUWhiteSpace(c);
}

// A character is at most four bytes long, so each step decodes a window of four bytes at
// most: the text's length never has to fit ICU's 32-bit indices.
constexpr std::size_t kLongestCharacter = 4;

}  // namespace

std::string base64Encode(const Bytes& data) {
  return encodeBase64(data.data(), data.size(), kStandardAlphabet, true);
}

std::string base64Encode(std::string_view data) {
  return encodeBase64(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), kStandardAlphabet,
                      true);
}

std::optional<Bytes> base64Decode(std::string_view text) {
  const std::optional<std::string_view> symbols = stripPadding(text);
  if (!symbols) return std::nullopt;
  return decodeSymbols(*symbols, kStandardTable);
}

std::string base64UrlEncode(const Bytes& data) {
  return encodeBase64(data.data(), data.size(), kUrlAlphabet, false);
}

std::optional<Bytes> base64UrlDecode(std::string_view text) {
  std::string_view symbols = text;
  if (!text.empty() && text.back() == '=') {
    const std::optional<std::string_view> stripped = stripPadding(text);
    if (!stripped) return std::nullopt;
    symbols = *stripped;
  }
  return decodeSymbols(symbols, kUrlTable);
}

std::string hexEncode(const Bytes& data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(data.size() * 2);
  for (const std::uint8_t byte : data) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0F]);
  }
  return out;
}

std::optional<Bytes> hexDecode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hexValue(text[i]);
    const int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>((high << 4) | low));
  }
  return out;
}

std::string percentEncode(std::string_view text, std::string_view keptPunctuation, BlankEncoding blanks) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const auto kept = [keptPunctuation](unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return c != '\0' && keptPunctuation.find(static_cast<char>(c)) != std::string_view::npos;
  };
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ' ' && blanks == BlankEncoding::plus) {
      out.push_back('+');
    } else if (c != ' ' && kept(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kDigits[c >> 4]);
      out.push_back(kDigits[c & 0x0F]);
    }
  }
  return out;
}

std::optional<std::chrono::system_clock::time_point> parseInternetDateTime(std::string_view text,
                                                                           bool withFractionalSeconds) {
  using namespace std::chrono;
  std::size_t pos = 0;
  const auto year = readDigits(text, pos, 4);
  if (!year || !expect(text, pos, '-')) return std::nullopt;
  const auto month = readDigits(text, pos, 2);
  if (!month || !expect(text, pos, '-')) return std::nullopt;
  const auto day = readDigits(text, pos, 2);
  if (!day || !expect(text, pos, 'T')) return std::nullopt;
  const auto hour = readDigits(text, pos, 2);
  if (!hour || !expect(text, pos, ':')) return std::nullopt;
  const auto minute = readDigits(text, pos, 2);
  if (!minute || !expect(text, pos, ':')) return std::nullopt;
  const auto second = readDigits(text, pos, 2);
  if (!second) return std::nullopt;

  // Fractional seconds: one or more digits; digits beyond nanoseconds are dropped.
  nanoseconds fraction{0};
  const bool hasFraction = pos < text.size() && text[pos] == '.';
  if (hasFraction != withFractionalSeconds) return std::nullopt;
  if (hasFraction) {
    ++pos;
    const std::size_t start = pos;
    std::int64_t nanos = 0;
    std::int64_t scale = 100'000'000;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      nanos += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
    fraction = nanoseconds(nanos);
  }

  minutes offset{0};
  if (pos < text.size() && text[pos] == 'Z') {
    ++pos;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const bool negative = text[pos] == '-';
    ++pos;
    const auto offsetHours = readDigits(text, pos, 2);
    if (!offsetHours || !expect(text, pos, ':')) return std::nullopt;
    const auto offsetMinutes = readDigits(text, pos, 2);
    if (!offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59) return std::nullopt;
    offset = hours(*offsetHours) + minutes(*offsetMinutes);
    if (negative) offset = -offset;
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;

  const year_month_day date{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
                            std::chrono::day(static_cast<unsigned>(*day))};
  // Leap seconds (":60") are refused: the clock cannot represent them.
  if (!date.ok() || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;

  // Whole seconds first (years 0000-9999 fit easily), then a range check: the clock's
  // tick count covers only a few centuries around 1970, and a far date ("9999-12-31", a
  // common "never") must not wrap into the past. Out-of-range dates saturate.
  const seconds whole =
      sys_days{date}.time_since_epoch() + hours(*hour) + minutes(*minute) + seconds(*second) - offset;
  using Tick = system_clock::duration;
  const seconds latest = duration_cast<seconds>(Tick::max()) - seconds(1);
  const seconds earliest = duration_cast<seconds>(Tick::min()) + seconds(1);
  if (whole > latest) return system_clock::time_point::max();
  if (whole < earliest) return system_clock::time_point::min();
  return system_clock::time_point(duration_cast<Tick>(whole) + duration_cast<Tick>(fraction));
}

std::string formatInternetDateTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto wholeSeconds = floor<seconds>(time);
  const auto dayStart = floor<days>(wholeSeconds);
  const year_month_day date{dayStart};
  const hh_mm_ss<seconds> clock{wholeSeconds - dayStart};
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return buffer;
}

std::string makeUuid() {
  Bytes bytes = crypto::randomBytes(16);
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

// ICU's UTF-8 iteration macros are written with C casts.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
std::string trimWhitespace(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    const auto window = static_cast<std::int32_t>(std::min(end - begin, kLongestCharacter));
    std::int32_t next = 0;
    UChar32 c;
    U8_NEXT(bytes + begin, next, window, c);
    if (!isWhiteSpace(c)) break;
    begin += static_cast<std::size_t>(next);
  }
  while (end > begin) {
    const std::size_t windowStart = end - std::min(end - begin, kLongestCharacter);
    auto previous = static_cast<std::int32_t>(end - windowStart);
    UChar32 c;
    U8_PREV(bytes + windowStart, 0, previous, c);
    if (!isWhiteSpace(c)) break;
    end = windowStart + static_cast<std::size_t>(previous);
  }
  return std::string(text.substr(begin, end - begin));
}
#pragma GCC diagnostic pop

std::string toLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool isValidUtf8(std::string_view bytes) noexcept {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    unsigned int codePoint;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
      codePoint = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      codePoint = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      codePoint = b0 & 0x07u;
    } else {
      return false;
    }
    if (i + length > n) return false;
    for (std::size_t k = 1; k < length; ++k) {
      auto b = static_cast<unsigned char>(bytes[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (b & 0x3Fu);
    }
    if ((length == 3 && codePoint < 0x800) ||
        (length == 4 && (codePoint < 0x10000 || codePoint > 0x10FFFF)) ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace velqo::platform
