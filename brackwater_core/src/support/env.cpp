#include "support/env.hpp"

#include <cstdlib>

#include "support/text.hpp"

namespace brackwater::support {

std::optional<std::string> env_utf8(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  if (!is_utf8(text)) return std::nullopt;
  return text;
}

std::optional<std::string> env_non_empty(const char* name) {
  auto value = env_utf8(name);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

}  // namespace brackwater::support
