#include "infrastructure/audit_dir.hpp"

#include <optional>

#include "domain/paths.hpp"
#include "infrastructure/env_keys.hpp"
#include "support/env.hpp"
#include "support/path_components.hpp"
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

AuditDir below_root(std::string root, std::string below) {
  std::string path = support::join_path(root, below);
  return AuditDir{std::move(root), std::move(below), std::move(path)};
}

}  // namespace

std::expected<AuditDir, ProjectResolveError> resolve_plowline_shared_audit_dir() {
  for (const char* name : {kPlowlineSharedDirEnv, kSharedDirEnv}) {
    if (auto shared = trimmed_env(name)) return below_root(domain::expanduser(*shared), "audit");
  }
  const std::string given = trimmed_env(kProjectRootEnv).value_or(support::current_dir().value_or("."));
  const std::string root = support::real_path(given).value_or(given);
  auto project_id = resolve_project_id(support::lossy_utf8(root));
  if (!project_id) return std::unexpected(std::move(project_id).error());
  auto state_dir_name = resolve_state_dir_name(*project_id);
  if (!state_dir_name) return std::unexpected(std::move(state_dir_name).error());
  return below_root(root, support::join_path(*state_dir_name, {"shared", "audit"}));
}

}  // namespace brackwater::infrastructure
