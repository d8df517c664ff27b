// Reads of the process environment (the current call's copy of it where there
// is one: support/call_environment.hpp). A value that is not valid UTF-8 counts
// as unset everywhere in the system.
#pragma once

#include <optional>
#include <string>

namespace brackwater::support {

// The variable's value when it is set and valid UTF-8 (possibly empty).
std::optional<std::string> env_utf8(const char* name);

// The variable's value when it is set, valid UTF-8 and not empty.
std::optional<std::string> env_non_empty(const char* name);

// The process's current directory as the system gives it (any bytes), or
// nullopt when it cannot be read.
std::optional<std::string> current_dir();

}  // namespace brackwater::support
