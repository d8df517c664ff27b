// Instants in UTC and their text forms: the audit timestamp written with
// each event, RFC 3339 date-times read back from the log or from callers, and
// the offset-less ISO form of a naive datetime.
//
// An instant is whole seconds plus nanoseconds rather than one nanosecond
// count: a 64-bit nanosecond count covers only the years 1678 to 2262, and
// callers pass bounds such as the first day of year 1.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brackwater::domain {

struct UtcInstant {
  int64_t seconds = 0;  // since the Unix epoch, UTC
  int32_t nanos = 0;    // 0 to 999,999,999

  auto operator<=>(const UtcInstant&) const = default;
};

// YYYY-MM-DDTHH:MM:SS, then a fraction of 3, 6 or 9 digits only when the
// sub-second part is not zero (the fewest that hold every non-zero digit),
// then "Z".
std::string format_timestamp(std::chrono::sys_time<std::chrono::nanoseconds> at);

// The UTC year and month "%Y-%m" of `at`.
std::string format_year_month(std::chrono::sys_time<std::chrono::nanoseconds> at);

// An RFC 3339 date-time: full date, "T", time with an optional fraction
// (digits past the ninth are dropped), and an offset ("Z" or +hh:mm/-hh:mm).
// The instant it names, in UTC.
std::optional<UtcInstant> parse_rfc3339(std::string_view text);

// "%Y-%m-%dT%H:%M:%S" with an optional fraction and nothing after it, taken
// as a wall-clock time in UTC.
std::optional<UtcInstant> parse_naive_datetime(std::string_view text);

}  // namespace brackwater::domain
