#include "support/env.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "support/call_environment.hpp"
#include "support/text.hpp"

namespace brackwater::support {

std::optional<std::string> env_utf8(const char* name) {
  std::optional<std::string_view> value;
  if (const CallEnvironment* call = CallEnvironment::current()) {
    value = call->environment().first(name);
  } else if (const char* set = std::getenv(name)) {
    value = set;
  }
  if (!value) return std::nullopt;
  std::string text(*value);
  if (!is_utf8(text)) return std::nullopt;
  return text;
}

std::optional<std::string> env_non_empty(const char* name) {
  auto value = env_utf8(name);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

std::optional<std::string> current_dir() {
  std::string buf(256, '\0');
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) {
      buf.resize(std::char_traits<char>::length(buf.data()));
      return buf;
    }
    if (errno != ERANGE) return std::nullopt;
    buf.resize(buf.size() * 2);
  }
}

}  // namespace brackwater::support
