#include "support/env_snapshot.hpp"

#include <cstring>
#include <ranges>

#include "support/env.hpp"

namespace brackwater::support {

EnvSnapshot::EnvSnapshot(const std::map<std::string, std::string, std::less<>>& map) {
  size_t bytes = 0;
  for (const auto& [name, value] : map) bytes += name.size() + value.size();
  reserve(map.size(), bytes);
  for (const auto& [name, value] : map) add(name, value);
}

EnvSnapshot EnvSnapshot::of_process() { return EnvSnapshot(process_env()); }

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
