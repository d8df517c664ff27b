#include "support/env_snapshot.hpp"

#include <unistd.h>

#include <cstring>
#include <ranges>

#include "support/call_environment.hpp"
#include "support/text.hpp"

namespace brackwater::support {

EnvSnapshot::EnvSnapshot(std::initializer_list<std::pair<std::string_view, std::string_view>> pairs) {
  size_t bytes = 0;
  for (const auto& [name, value] : pairs) bytes += name.size() + value.size();
  reserve(pairs.size(), bytes);
  for (const auto& [name, value] : pairs) add(name, value);
}

EnvSnapshot EnvSnapshot::of_process() {
  const EnvironmentCopy copy = EnvironmentCopy::of_call();
  EnvSnapshot snapshot;
  snapshot.reserve(copy.size(), copy.bytes());
  // Last to first: getenv(3) answers with the first entry of a name, and the
  // pair added last is the one find() sees.
  for (size_t i = copy.size(); i-- > 0;) {
    const std::string_view entry = copy.entry(i);
    const size_t eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view name = entry.substr(0, eq), value = entry.substr(eq + 1);
    if (is_utf8(name) && is_utf8(value)) snapshot.add(name, value);
  }
  return snapshot;
}

void EnvSnapshot::reserve(size_t variables, size_t bytes) {
  entries_.reserve(variables);
  text_.reserve(bytes);
}

void EnvSnapshot::add(std::string_view name, std::string_view value) {
  entries_.push_back({text_.size(), name.size(), value.size()});
  text_.append(name);
  text_.append(value);
}

std::optional<std::string_view> EnvSnapshot::find(std::string_view name) const noexcept {
  // From the back, so that the last pair added under a name is the one seen.
  for (const Entry& entry : std::views::reverse(entries_)) {
    if (entry.name_size != name.size()) continue;
    const char* at = text_.data() + entry.at;
    if (name.empty() || std::memcmp(at, name.data(), name.size()) == 0) {
      return std::string_view(at + entry.name_size, entry.value_size);
    }
  }
  return std::nullopt;
}

}  // namespace brackwater::support
