#include "support/path_join.hpp"

namespace brackwater::support {

std::string join_path(std::string_view left, std::string_view right) {
  if (right.starts_with('/') || left.empty()) return std::string(right);
  std::string out(left);
  if (!out.ends_with('/')) out += '/';
  out += right;
  return out;
}

std::string join_path(std::string_view left, std::initializer_list<std::string_view> parts) {
  std::string out(left);
  for (auto part : parts) out = join_path(out, part);
  return out;
}

}  // namespace brackwater::support
