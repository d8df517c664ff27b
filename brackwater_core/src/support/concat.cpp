#include "support/concat.hpp"

namespace brackwater::support {

std::string hex_lower(unsigned long long value, int width) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(out.size()) < width) out.insert(0, static_cast<size_t>(width) - out.size(), '0');
  return out;
}

}  // namespace brackwater::support
