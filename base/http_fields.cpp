#include "base/http_fields.h"

#include <array>
#include <chrono>
#include <cstdio>

namespace skalo {
namespace {

namespace chrono = std::chrono;

// Indexed as chrono::weekday::c_encoding() counts: Sunday is 0.
constexpr std::array<const char*, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 7> kLongDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                      "Thursday", "Friday", "Saturday"};
constexpr std::array<const char*, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr std::int64_t kSecondsPerDay = 86400;
// 0000-01-01 00:00:00 and 9999-12-31 23:59:59: the four-digit years.
constexpr std::int64_t kFirstSecond = -62167219200;
constexpr std::int64_t kLastSecond = 253402300799;

struct UtcTime {
  int year = 0;
  unsigned month = 1;  // 1 to 12
  unsigned day = 1;
  unsigned weekday = 0;  // 0 is Sunday
  int hour = 0;
  int minute = 0;
  int second = 0;
};

std::optional<UtcTime> SplitTime(std::int64_t seconds) {
  if (seconds < kFirstSecond || seconds > kLastSecond) return std::nullopt;
  std::int64_t days = seconds / kSecondsPerDay;
  std::int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) {  // before 1970 the day starts earlier than the division says
    rest += kSecondsPerDay;
    --days;
  }
  const chrono::sys_days date{chrono::days{days}};
  const chrono::year_month_day ymd{date};
  UtcTime t;
  t.year = static_cast<int>(ymd.year());
  t.month = static_cast<unsigned>(ymd.month());
  t.day = static_cast<unsigned>(ymd.day());
  t.weekday = chrono::weekday{date}.c_encoding();
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  return t;
}

// Reads the pieces of an HTTP-date from left to right; every piece either
// matches whole and is consumed, or fails and the date is refused.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool done() const { return text_.empty(); }
  bool next_is(char c) const { return !text_.empty() && text_.front() == c; }
  bool take(std::string_view word) {
    if (!text_.starts_with(word)) return false;
    text_.remove_prefix(word.size());
    return true;
  }
  // The letters up to the first non-letter.
  std::string_view word() {
    std::size_t n = 0;
    while (n < text_.size() &&
           ((text_[n] >= 'a' && text_[n] <= 'z') || (text_[n] >= 'A' && text_[n] <= 'Z')))
      ++n;
    const std::string_view w = text_.substr(0, n);
    text_.remove_prefix(n);
    return w;
  }
  // Exactly `count` digits; -1 otherwise.
  int digits(std::size_t count) {
    if (text_.size() < count) return -1;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (text_[i] < '0' || text_[i] > '9') return -1;
      value = value * 10 + (text_[i] - '0');
    }
    text_.remove_prefix(count);
    return value;
  }
  // "Jan" to "Dec" as 1 to 12; 0 otherwise.
  unsigned month() {
    for (std::size_t i = 0; i < kMonthNames.size(); ++i)
      if (take(kMonthNames[i])) return static_cast<unsigned>(i + 1);
    return 0;
  }
  // "HH:MM:SS" into seconds of the day (a leap second 60 runs into the next
  // minute); -1 when malformed or out of range.
  std::int64_t clock() {
    const int hour = digits(2);
    if (hour < 0 || hour > 23 || !take(":")) return -1;
    const int minute = digits(2);
    if (minute < 0 || minute > 59 || !take(":")) return -1;
    const int second = digits(2);
    if (second < 0 || second > 60) return -1;
    return hour * 3600 + minute * 60 + second;
  }

 private:
  std::string_view text_;
};

bool IsOneOf(std::string_view word, const std::array<const char*, 7>& names) {
  for (const char* name : names)
    if (word == name) return true;
  return false;
}

// RFC 9110, section 5.6.7: a two-digit year more than 50 years in the future
// means the latest past year with the same last two digits.
int FullYear(int two_digits) {
  const auto today = chrono::floor<chrono::days>(chrono::system_clock::now());
  const int now = static_cast<int>(chrono::year_month_day{today}.year());
  int year = now - now % 100 + two_digits;
  if (year > now + 50) year -= 100;
  if (year + 100 <= now + 50) year += 100;
  return year;
}

}  // namespace

std::string HttpDateText(std::int64_t seconds) {
  const auto t = SplitTime(seconds);
  if (!t) return std::string();
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, "%s, %02u %s %04d %02d:%02d:%02d GMT",
                              kDayNames[t->weekday], t->day, kMonthNames[t->month - 1], t->year,
                              t->hour, t->minute, t->second);
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string LogDateText(std::int64_t seconds) {
  const auto t = SplitTime(seconds);
  if (!t) return std::string();
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, "%02u/%s/%04d:%02d:%02d:%02d +0000", t->day,
                              kMonthNames[t->month - 1], t->year, t->hour, t->minute, t->second);
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string_view TrimHttpSpace(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

bool EntityTagListMatches(std::string_view list, std::string_view etag) {
  list = TrimHttpSpace(list);
  if (list == "*") return true;
  while (!list.empty()) {
    list = TrimHttpSpace(list);
    if (list.starts_with(',')) {
      list.remove_prefix(1);
      continue;
    }
    if (list.starts_with("W/")) list.remove_prefix(2);
    if (!list.starts_with('"')) return false;
    const std::size_t close = list.find('"', 1);
    if (close == std::string_view::npos) return false;
    if (list.substr(0, close + 1) == etag) return true;
    list.remove_prefix(close + 1);
  }
  return false;
}

std::optional<std::int64_t> ParseHttpDate(std::string_view text) {
  Cursor in{TrimHttpSpace(text)};
  int year = -1;
  unsigned month = 0;
  int day = -1;
  std::int64_t clock = -1;
  // RFC 9110, section 5.6.7. The day name is checked for its form only; the
  // date decides the day.
  const std::string_view day_name = in.word();
  if (in.take(", ")) {
    day = in.digits(2);
    if (in.next_is(' ') && IsOneOf(day_name, kDayNames)) {
      // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
      in.take(" ");
      month = in.month();
      if (!in.take(" ")) return std::nullopt;
      year = in.digits(4);
    } else if (in.next_is('-') && IsOneOf(day_name, kLongDayNames)) {
      // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"
      in.take("-");
      month = in.month();
      if (!in.take("-")) return std::nullopt;
      const int two_digits = in.digits(2);
      if (two_digits < 0) return std::nullopt;
      year = FullYear(two_digits);
    } else {
      return std::nullopt;
    }
    if (!in.take(" ")) return std::nullopt;
    clock = in.clock();
    if (!in.take(" GMT")) return std::nullopt;
  } else if (in.take(" ") && IsOneOf(day_name, kDayNames)) {
    // asctime: "Sun Nov  6 08:49:37 1994", a one-digit day after two blanks.
    month = in.month();
    if (!in.take(" ")) return std::nullopt;
    day = in.take(" ") ? in.digits(1) : in.digits(2);
    if (!in.take(" ")) return std::nullopt;
    clock = in.clock();
    if (!in.take(" ")) return std::nullopt;
    year = in.digits(4);
  } else {
    return std::nullopt;
  }
  if (!in.done() || year < 0 || month == 0 || day < 0 || clock < 0) return std::nullopt;
  const chrono::year_month_day date{chrono::year{year}, chrono::month{month},
                                    chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok()) return std::nullopt;
  return std::int64_t{chrono::sys_days{date}.time_since_epoch().count()} * kSecondsPerDay + clock;
}

}  // namespace skalo
