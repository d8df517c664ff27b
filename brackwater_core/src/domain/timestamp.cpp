#include "domain/timestamp.hpp"

#include <date/date.h>

namespace brackwater::domain {
namespace {

using namespace std::chrono;

// The digits of `text` from `pos` (exactly `width` of them) as a number.
bool take_digits(std::string_view text, size_t& pos, size_t width, int& out) {
  if (pos + width > text.size()) return false;
  int value = 0;
  for (size_t i = 0; i < width; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += width;
  out = value;
  return true;
}

bool take_char(std::string_view text, size_t& pos, char a, char b = '\0') {
  if (pos >= text.size() || (text[pos] != a && (b == '\0' || text[pos] != b))) return false;
  ++pos;
  return true;
}

// Date, separator, time and optional fraction; `pos` is left after them.
std::optional<UtcInstant> parse_wall_clock(std::string_view text, size_t& pos) {
  int y, mo, d, h, mi, s;
  if (!take_digits(text, pos, 4, y) || !take_char(text, pos, '-') || !take_digits(text, pos, 2, mo) ||
      !take_char(text, pos, '-') || !take_digits(text, pos, 2, d) || !take_char(text, pos, 'T', 't') ||
      !take_digits(text, pos, 2, h) || !take_char(text, pos, ':') || !take_digits(text, pos, 2, mi) ||
      !take_char(text, pos, ':') || !take_digits(text, pos, 2, s)) {
    return std::nullopt;
  }
  const date::year_month_day ymd{date::year{y}, date::month{static_cast<unsigned>(mo)},
                                 date::day{static_cast<unsigned>(d)}};
  if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
  int32_t nanos = 0;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    int digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (digits < 9) nanos = nanos * 10 + (text[pos] - '0');
      ++digits;
      ++pos;
    }
    if (digits == 0) return std::nullopt;
    for (int i = digits; i < 9; ++i) nanos *= 10;
  }
  const auto days = date::sys_days(ymd).time_since_epoch().count();
  return UtcInstant{(static_cast<int64_t>(days) * 86400) + (int64_t{h} * 3600) + (int64_t{mi} * 60) + s, nanos};
}

}  // namespace

std::string format_timestamp(sys_time<nanoseconds> at) {
  const auto day = floor<date::days>(at);
  const date::year_month_day ymd(day);
  const date::hh_mm_ss<nanoseconds> tod(at - day);
  char buf[48];
  int n = std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(ymd.year()),
                        static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                        static_cast<int>(tod.hours().count()), static_cast<int>(tod.minutes().count()),
                        static_cast<int>(tod.seconds().count()));
  const auto nanos = static_cast<long>(tod.subseconds().count());
  if (nanos != 0) {
    if (nanos % 1000000 == 0) {
      n += std::snprintf(buf + n, sizeof buf - n, ".%03ld", nanos / 1000000);
    } else if (nanos % 1000 == 0) {
      n += std::snprintf(buf + n, sizeof buf - n, ".%06ld", nanos / 1000);
    } else {
      n += std::snprintf(buf + n, sizeof buf - n, ".%09ld", nanos);
    }
  }
  return std::string(buf, n) + "Z";
}

std::string format_year_month(sys_time<nanoseconds> at) {
  const date::year_month_day ymd(floor<date::days>(at));
  char buf[16];
  const int n =
      std::snprintf(buf, sizeof buf, "%04d-%02u", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()));
  return {buf, static_cast<size_t>(n)};
}

std::optional<UtcInstant> parse_rfc3339(std::string_view text) {
  size_t pos = 0;
  auto wall = parse_wall_clock(text, pos);
  if (!wall) return std::nullopt;
  int offset = 0;
  if (take_char(text, pos, 'Z', 'z')) {
    offset = 0;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const int sign = text[pos++] == '-' ? -1 : 1;
    int oh, om;
    if (!take_digits(text, pos, 2, oh) || !take_char(text, pos, ':') || !take_digits(text, pos, 2, om) || oh > 23 ||
        om > 59) {
      return std::nullopt;
    }
    offset = sign * (oh * 3600 + om * 60);
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  wall->seconds -= offset;
  return wall;
}

std::optional<UtcInstant> parse_naive_datetime(std::string_view text) {
  size_t pos = 0;
  auto wall = parse_wall_clock(text, pos);
  if (!wall || pos != text.size()) return std::nullopt;
  return wall;
}

}  // namespace brackwater::domain
