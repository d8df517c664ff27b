#include "support/os_error.hpp"

#include <cstring>
#include "support/concat.hpp"
#include "support/text.hpp"

namespace brackwater::support {

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling `buf`.
  const char* desc = strerror_r(err, buf, sizeof buf);
  // The description comes in the locale's encoding, which need not be UTF-8.
  return concat(lossy_utf8(desc), " (os error ", err, ")");
}

}  // namespace brackwater::support
