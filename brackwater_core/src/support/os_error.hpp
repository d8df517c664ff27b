// The one place where an operating-system error becomes text.
#pragma once

#include <string>

namespace brackwater::support {

// The system's description of `err`, then " (os error N)".
std::string os_error_text(int err);

}  // namespace brackwater::support
