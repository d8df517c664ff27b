// A timestamp text -> the instant it names; an instant that the audit
// timestamp form can hold must read back unchanged from that form.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "domain/timestamp.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brackwater::domain;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& at : {parse_rfc3339(text), parse_naive_datetime(text)}) {
    if (!at) continue;
    if (at->nanos < 0 || at->nanos > 999'999'999) std::abort();
    // Years 1678 to 2261 fit a 64-bit nanosecond count.
    if (at->seconds < -9'200'000'000 || at->seconds > 9'200'000'000) continue;
    const std::chrono::sys_time<std::chrono::nanoseconds> t{std::chrono::seconds(at->seconds) +
                                                            std::chrono::nanoseconds(at->nanos)};
    if (parse_rfc3339(format_timestamp(t)) != at) std::abort();
  }
  return 0;
}
