// Paths seen as their components, and the real path the system resolves.
//
// One walk over the components serves every reader of path text, so that a
// repeated "/" or a "." means the same thing to each of them.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brackwater::support {

// Calls `visit` with each component of `path`, in order: a leading "/" is one
// component of its own, repeated separators collapse, and "." is dropped
// except as the first component of a relative path. Every component is a view
// into `path`.
template <class Visit>
void for_each_path_component(std::string_view path, Visit&& visit) {
  const bool absolute = path.starts_with('/');
  if (absolute) visit(path.substr(0, 1));
  bool first = true;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    if (!part.empty()) {
      if (part != "." || (first && !absolute)) visit(part);
      first = false;
    }
    pos = end + 1;
  }
}

// The components of `path`, as for_each_path_component visits them.
std::vector<std::string_view> path_components(std::string_view path);

// Appends one component to a path built from components: "/" between
// components, none after the leading "/".
void append_component(std::string& path, std::string_view component);

// The components back to text, as append_component joins them.
std::string components_text(std::span<const std::string_view> components);

// realpath(3) of `path` as the system gives it (any bytes); nullopt on any
// failure (missing, permission, an empty path or an interior NUL).
std::optional<std::string> real_path(std::string_view path);

}  // namespace brackwater::support
