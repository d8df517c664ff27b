#include "support/path_components.hpp"

#include <cstdlib>
#include <memory>

namespace brackwater::support {

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> parts;
  for_each_path_component(path, [&](std::string_view part) { parts.push_back(part); });
  return parts;
}

void append_component(std::string& path, std::string_view component) {
  if (!path.empty() && !path.ends_with('/')) path += '/';
  path += component;
}

std::string components_text(std::span<const std::string_view> components) {
  std::string out;
  for (const std::string_view part : components) append_component(out, part);
  return out;
}

std::optional<std::string> real_path(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string owned(path);
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(owned.c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

}  // namespace brackwater::support
