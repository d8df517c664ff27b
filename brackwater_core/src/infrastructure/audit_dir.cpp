#include "infrastructure/audit_dir.hpp"

#include <cstdlib>
#include <memory>
#include <optional>

#include "domain/paths.hpp"
#include "infrastructure/env_keys.hpp"
#include "support/env.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

std::optional<std::string> trimmed_env(const char* name) {
  auto value = support::env_utf8(name);
  if (!value) return std::nullopt;
  const std::string_view trimmed = support::trim(*value);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

std::string canonical_or_unchanged(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : path;
}

}  // namespace

std::expected<std::string, ProjectResolveError> resolve_plowline_shared_audit_dir() {
  for (const char* name : {kPlowlineSharedDirEnv, kSharedDirEnv}) {
    if (auto shared = trimmed_env(name)) return support::join_path(domain::expanduser(*shared), "audit");
  }
  const std::string root =
      canonical_or_unchanged(trimmed_env(kProjectRootEnv).value_or(support::current_dir().value_or(".")));
  auto project_id = resolve_project_id(support::lossy_utf8(root));
  if (!project_id) return std::unexpected(std::move(project_id).error());
  auto state_dir_name = resolve_state_dir_name(*project_id);
  if (!state_dir_name) return std::unexpected(std::move(state_dir_name).error());
  return support::join_path(root, {*state_dir_name, "shared", "audit"});
}

}  // namespace brackwater::infrastructure
