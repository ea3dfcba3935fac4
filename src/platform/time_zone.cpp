#include "platform/time_zone.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velqo::platform {

namespace {

using std::chrono::days;
using std::chrono::sys_days;

constexpr std::size_t kMaxZoneFileBytes = 1 << 20;
constexpr std::int64_t kSecondsPerDay = 86400;

// ---- POSIX TZ rules: std offset [dst [offset] [,start[/time],end[/time]]] ----

struct RuleDate {
  enum class Kind { julianNoLeap, zeroBased, monthWeekDay } kind = Kind::monthWeekDay;
  int a = 0;  // day number, or month
  int week = 0;
  int weekday = 0;
  long time = 2 * 3600;  // local wall-clock seconds after midnight
};

class RuleParser {
 public:
  explicit RuleParser(std::string_view text) : s_(text) {}

  bool atEnd() const { return pos_ >= s_.size(); }
  bool consume(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }

  bool name() {
    if (consume('<')) {
      std::size_t close = s_.find('>', pos_);
      if (close == std::string_view::npos || close == pos_) return false;
      pos_ = close + 1;
      return true;
    }
    std::size_t start = pos_;
    while (pos_ < s_.size() && std::isalpha(static_cast<unsigned char>(s_[pos_])) != 0) ++pos_;
    return pos_ - start >= 3;
  }

  std::optional<int> number(int maxValue) {
    std::size_t start = pos_;
    long value = 0;
    while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_])) != 0) {
      value = value * 10 + (s_[pos_] - '0');
      if (value > maxValue) return std::nullopt;
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    return static_cast<int>(value);
  }

  // [+-]hh[:mm[:ss]] in seconds, sign applied.
  std::optional<long> clock(int maxHours) {
    long sign = 1;
    if (consume('-')) {
      sign = -1;
    } else {
      consume('+');
    }
    auto hours = number(maxHours);
    if (!hours) return std::nullopt;
    long seconds = *hours * 3600L;
    if (consume(':')) {
      auto minutes = number(59);
      if (!minutes) return std::nullopt;
      seconds += *minutes * 60L;
      if (consume(':')) {
        auto secs = number(59);
        if (!secs) return std::nullopt;
        seconds += *secs;
      }
    }
    return sign * seconds;
  }

  std::optional<RuleDate> date() {
    RuleDate d;
    if (consume('J')) {
      auto n = number(365);
      if (!n || *n < 1) return std::nullopt;
      d.kind = RuleDate::Kind::julianNoLeap;
      d.a = *n;
    } else if (consume('M')) {
      auto m = number(12);
      if (!m || *m < 1 || !consume('.')) return std::nullopt;
      auto w = number(5);
      if (!w || *w < 1 || !consume('.')) return std::nullopt;
      auto wd = number(6);
      if (!wd) return std::nullopt;
      d.kind = RuleDate::Kind::monthWeekDay;
      d.a = *m;
      d.week = *w;
      d.weekday = *wd;
    } else {
      auto n = number(365);
      if (!n) return std::nullopt;
      d.kind = RuleDate::Kind::zeroBased;
      d.a = *n;
    }
    if (consume('/')) {
      auto t = clock(167);
      if (!t) return std::nullopt;
      d.time = *t;
    }
    return d;
  }

 private:
  std::string_view s_;
  std::size_t pos_ = 0;
};

// Days since the epoch of the rule's date in `year`.
std::int64_t dayOfRule(const RuleDate& d, std::chrono::year year) {
  using namespace std::chrono;
  const sys_days jan1 = sys_days(year / January / 1);
  switch (d.kind) {
    case RuleDate::Kind::julianNoLeap: {
      int extra = (year.is_leap() && d.a >= 60) ? 1 : 0;
      return (jan1 + days(d.a - 1 + extra)).time_since_epoch().count();
    }
    case RuleDate::Kind::zeroBased:
      return (jan1 + days(d.a)).time_since_epoch().count();
    case RuleDate::Kind::monthWeekDay:
      break;
  }
  const month m(static_cast<unsigned>(d.a));
  const weekday wd(static_cast<unsigned>(d.weekday));
  if (d.week == 5)
    return sys_days(year_month_weekday_last(year, m, weekday_last(wd))).time_since_epoch().count();
  return sys_days(year_month_weekday(year, m, weekday_indexed(wd, static_cast<unsigned>(d.week))))
      .time_since_epoch()
      .count();
}

// ---- compiled zone files (TZif, versions 1 to 4) ----

class ByteReader {
 public:
  explicit ByteReader(std::string_view data) : data_(data) {}
  bool skip(std::size_t n) {
    if (n > data_.size() - pos_) return false;
    pos_ += n;
    return true;
  }
  bool has(std::size_t n) const { return n <= data_.size() - pos_; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(data_[pos_++]);
    return v;
  }
  std::int64_t i64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<unsigned char>(data_[pos_++]);
    return static_cast<std::int64_t>(v);
  }
  std::uint8_t u8() { return static_cast<std::uint8_t>(data_[pos_++]); }
  std::string_view rest() const { return data_.substr(pos_); }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

struct Counts {
  std::size_t isut = 0, isstd = 0, leap = 0, time = 0, type = 0, chars = 0;
};

std::optional<Counts> readHeader(ByteReader& reader, char& version) {
  if (!reader.has(44) || reader.rest().substr(0, 4) != "TZif") return std::nullopt;
  version = reader.rest()[4];
  reader.skip(20);
  Counts c;
  c.isut = reader.u32();
  c.isstd = reader.u32();
  c.leap = reader.u32();
  c.time = reader.u32();
  c.type = reader.u32();
  c.chars = reader.u32();
  if (c.type == 0) return std::nullopt;
  return c;
}

std::optional<long> offsetFromZoneFile(std::string_view data, std::int64_t t) {
  ByteReader reader(data);
  char version = '\0';
  auto counts = readHeader(reader, version);
  if (!counts) return std::nullopt;
  std::size_t timeSize = 4;
  if (version != '\0') {  // version 2 and later: skip the 32-bit block, read the 64-bit one
    const Counts& c = *counts;
    if (!reader.skip(c.time * 5 + c.type * 6 + c.chars + c.leap * 8 + c.isstd + c.isut)) return std::nullopt;
    counts = readHeader(reader, version);
    if (!counts) return std::nullopt;
    timeSize = 8;
  }
  const Counts& c = *counts;
  if (!reader.has(c.time * (timeSize + 1) + c.type * 6)) return std::nullopt;

  std::vector<std::int64_t> times(c.time);
  for (auto& time : times) time = timeSize == 8 ? reader.i64() : static_cast<std::int32_t>(reader.u32());
  std::vector<std::uint8_t> indexes(c.time);
  for (auto& index : indexes) {
    index = reader.u8();
    if (index >= c.type) return std::nullopt;
  }
  std::vector<long> offsets(c.type);
  for (auto& offset : offsets) {
    offset = static_cast<std::int32_t>(reader.u32());
    reader.skip(2);  // isdst, designation index
  }
  if (!reader.skip(c.chars + c.leap * (timeSize + 4) + c.isstd + c.isut)) return std::nullopt;

  std::string_view footer;
  if (timeSize == 8) {
    std::string_view rest = reader.rest();
    if (rest.size() >= 2 && rest.front() == '\n') {
      std::size_t end = rest.find('\n', 1);
      if (end != std::string_view::npos) footer = rest.substr(1, end - 1);
    }
  }

  if (times.empty() || t < times.front()) {
    if (times.empty() && !footer.empty()) {
      if (auto fromRule = posixRuleOffsetSeconds(footer, t)) return fromRule;
    }
    return offsets.front();
  }
  const auto after = std::upper_bound(times.begin(), times.end(), t);
  const std::size_t i = static_cast<std::size_t>(std::distance(times.begin(), after)) - 1;
  if (i + 1 == times.size() && t > times.back() && !footer.empty()) {
    if (auto fromRule = posixRuleOffsetSeconds(footer, t)) return fromRule;
  }
  return offsets[indexes[i]];
}

bool isSafeZoneName(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.find('\0') != std::string_view::npos) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    std::string_view part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

std::optional<long> posixRuleOffsetSeconds(std::string_view rule, std::int64_t unixSeconds) {
  RuleParser p(rule);
  if (!p.name()) return std::nullopt;
  auto stdOffset = p.clock(24);
  if (!stdOffset) return std::nullopt;
  const long stdUtoff = -*stdOffset;
  if (p.atEnd()) return stdUtoff;

  if (!p.name()) return std::nullopt;
  long dstUtoff = stdUtoff + 3600;
  if (!p.atEnd() && p.peek() != ',') {
    auto dstOffset = p.clock(24);
    if (!dstOffset) return std::nullopt;
    dstUtoff = -*dstOffset;
  }
  RuleDate start{RuleDate::Kind::monthWeekDay, 3, 2, 0};
  RuleDate end{RuleDate::Kind::monthWeekDay, 11, 1, 0};
  if (!p.atEnd()) {
    if (!p.consume(',')) return std::nullopt;
    auto s = p.date();
    if (!s || !p.consume(',')) return std::nullopt;
    auto e = p.date();
    if (!e || !p.atEnd()) return std::nullopt;
    start = *s;
    end = *e;
  }

  const std::int64_t localDay =
      (unixSeconds + stdUtoff) / kSecondsPerDay - (((unixSeconds + stdUtoff) % kSecondsPerDay) < 0 ? 1 : 0);
  const std::chrono::year year = std::chrono::year_month_day(sys_days(days(localDay))).year();
  const std::int64_t startUtc = dayOfRule(start, year) * kSecondsPerDay + start.time - stdUtoff;
  const std::int64_t endUtc = dayOfRule(end, year) * kSecondsPerDay + end.time - dstUtoff;
  const bool inDst = startUtc < endUtc ? (unixSeconds >= startUtc && unixSeconds < endUtc)
                                       : !(unixSeconds >= endUtc && unixSeconds < startUtc);
  return inDst ? dstUtoff : stdUtoff;
}

std::optional<long> zoneOffsetSeconds(std::string_view identifier,
                                      std::chrono::system_clock::time_point when) {
  if (!isSafeZoneName(identifier)) return std::nullopt;
  const char* dir = std::getenv("TZDIR");
  std::string path = (dir != nullptr && *dir != '\0') ? dir : "/usr/share/zoneinfo";
  path += '/';
  path += identifier;

  // Read at its size: zone files are a few kilobytes, and anything beyond the bound is not one.
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > kMaxZoneFileBytes) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string data(static_cast<std::size_t>(size), '\0');
  file.read(data.data(), static_cast<std::streamsize>(data.size()));
  data.resize(static_cast<std::size_t>(file.gcount()));
  const auto t = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
  return offsetFromZoneFile(data, t);
}

long processLocalOffsetSeconds(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  if (::localtime_r(&t, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

}  // namespace velqo::platform
