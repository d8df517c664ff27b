#include "infrastructure/worktree_base_resolver.hpp"

#include <algorithm>
#include <array>
#include <span>

#include "domain/paths.hpp"
#include "infrastructure/env_keys.hpp"
#include "infrastructure/git_adapter.hpp"
#include "infrastructure/worktree_config_loader.hpp"
#include "support/path_components.hpp"
#include "support/path_join.hpp"

namespace brackwater::infrastructure {
namespace {

using domain::kDefaultProjectId;
using domain::normalize_path;

constexpr std::array<std::string_view, 2> kCiEnv{"CI", "GITHUB_ACTIONS"};
constexpr std::string_view kLegacySuffix = "-worktrees";

bool under_ci(const EnvSnapshot& env) {
  return std::ranges::any_of(kCiEnv, [&](std::string_view name) { return env.find_set(name).has_value(); });
}

// The caller's snapshot, or the process environment read into `storage` once.
const EnvSnapshot& choose_env(const std::optional<EnvSnapshot>& env, EnvSnapshot& storage) {
  if (env) return *env;
  storage = EnvSnapshot::of_process();
  return storage;
}

// repo_root when non-empty (blanks count), else TESSARY_REPO_ROOT from the
// map, else git's top level of the current directory (possibly "").
std::string find_repo_root(const std::optional<std::string>& repo_root, const EnvSnapshot& env) {
  if (repo_root && !repo_root->empty()) return *repo_root;
  if (auto value = env.find_set(kRepoRootEnv)) return std::string(*value);
  return git_repo_root(std::nullopt);
}

// The normalised repository root ("" when there is none) and its project.
struct Project {
  std::string root;
  std::string id;
};

// A root that normalises to nothing (a blank one) is treated like no root:
// the default project, and no configuration file looked up relative to the
// current directory.
std::expected<Project, WorktreeBaseError> project_of(const std::string& found_root) {
  Project project{found_root.empty() ? std::string() : normalize_path(found_root), std::string(kDefaultProjectId)};
  if (project.root.empty()) return project;
  auto id = resolve_project_id(project.root);
  if (!id) return std::unexpected(WorktreeBaseError::Project{id.error()});
  project.id = *std::move(id);
  return project;
}

std::string home_default(const Project& project, const std::optional<std::string>& home) {
  return normalize_path(domain::home_worktree_base(project.id, home));
}

// The base once neither an explicit base nor TESSARY_WORKTREE_BASE answered:
// under CI a matching override of config/worktree.yaml, else the home
// default (given when the caller has already computed it).
std::expected<std::string, WorktreeBaseError> configured_or_home_base(const Project& project,
                                                                      const std::optional<std::string>& home,
                                                                      const EnvSnapshot& env,
                                                                      std::optional<std::string> home_base = {}) {
  if (!project.root.empty() && under_ci(env)) {
    auto config = load_worktree_config(project.root);
    if (!config) return std::unexpected(WorktreeBaseError::ConfigUnreadable{config.error()});
    if (!config->is_null()) {
      if (auto chosen = match_config_override(*config, project.root, env)) return normalize_path(*chosen);
    }
  }
  return home_base ? *std::move(home_base) : home_default(project, home);
}

// Appends `text` unless it is empty or already listed.
void add_unique(std::vector<std::string>& list, std::string text) {
  if (text.empty() || std::ranges::find(list, text) != list.end()) return;
  list.push_back(std::move(text));
}

// The last component when it is a plain name.
std::optional<std::string_view> name_of(std::span<const std::string_view> parts) {
  if (parts.empty()) return std::nullopt;
  const std::string_view last = parts.back();
  if (last == "/" || last == "." || last == "..") return std::nullopt;
  return last;
}

// All but the last component; "/" and the empty path have no parent.
std::optional<std::span<const std::string_view>> parent_of(std::span<const std::string_view> parts) {
  if (parts.empty() || parts.back() == "/") return std::nullopt;
  return parts.first(parts.size() - 1);
}

}  // namespace

std::string WorktreeBaseError::display() const {
  if (const auto* unreadable = get<ConfigUnreadable>()) {
    return std::string(kConfigUnreadableCode) + ": " + unreadable->detail;
  }
  return get<Project>()->error.display();
}

std::expected<std::string, WorktreeBaseError> resolve_worktree_base(const std::optional<std::string>& explicit_base,
                                                                    const std::optional<std::string>& repo_root,
                                                                    const std::optional<std::string>& home,
                                                                    const std::optional<EnvSnapshot>& env) {
  if (explicit_base && !explicit_base->empty()) return normalize_path(*explicit_base);
  EnvSnapshot storage;
  const EnvSnapshot& map = choose_env(env, storage);
  if (under_ci(map)) {
    if (auto base = map.find_set(kWorktreeBaseEnv)) return normalize_path(*base);
  }
  auto project = project_of(find_repo_root(repo_root, map));
  if (!project) return std::unexpected(project.error());
  return configured_or_home_base(*project, home, map);
}

std::expected<std::string, WorktreeBaseError> resolve_worktree_dir(std::string_view worktree_name,
                                                                   const std::optional<std::string>& explicit_base,
                                                                   const std::optional<std::string>& repo_root,
                                                                   const std::optional<std::string>& home,
                                                                   const std::optional<EnvSnapshot>& env) {
  auto base = resolve_worktree_base(explicit_base, repo_root, home, env);
  if (!base) return base;
  return support::join_path(*base, worktree_name);
}

std::expected<std::vector<std::string>, WorktreeBaseError> resolve_known_worktree_bases(
    const std::optional<std::string>& repo_root, const std::optional<std::string>& home,
    const std::optional<EnvSnapshot>& env) {
  EnvSnapshot storage;
  const EnvSnapshot& map = choose_env(env, storage);
  auto project = project_of(find_repo_root(repo_root, map));
  if (!project) return std::unexpected(project.error());

  std::vector<std::string> bases;
  const std::string home_base = home_default(*project, home);
  add_unique(bases, home_base);

  const auto env_base = map.find_set(kWorktreeBaseEnv);
  if (under_ci(map) && env_base) {
    add_unique(bases, normalize_path(*env_base));
  } else {
    auto resolved = configured_or_home_base(*project, home, map, home_base);
    if (!resolved) return std::unexpected(resolved.error());
    add_unique(bases, *std::move(resolved));
  }
  if (env_base) add_unique(bases, normalize_path(*env_base));

  if (!project->root.empty()) {
    const std::string local = support::join_path(project->root, {".plowline", "worktrees"});
    if (domain::path_exists(local)) add_unique(bases, normalize_path(local));
  }
  auto legacy = legacy_base_candidates(project->root, project->id);
  if (!legacy) return std::unexpected(WorktreeBaseError::Project{legacy.error()});
  for (auto& candidate : *legacy) add_unique(bases, std::move(candidate));
  return bases;
}

std::expected<std::vector<std::string>, ProjectResolveError> legacy_base_candidates(
    std::string_view root, const std::optional<std::string>& project_id) {
  std::vector<std::string> out;
  if (root.empty()) return out;
  std::string id;
  if (project_id && !project_id->empty()) {
    id = *project_id;
  } else {
    auto resolved = resolve_project_id(std::string(root));
    if (!resolved) return std::unexpected(resolved.error());
    id = *std::move(resolved);
  }
  const std::string a = id + std::string(kLegacySuffix);
  const std::string b = std::string(kDefaultProjectId) + std::string(kLegacySuffix);
  auto legacy_name = [&](std::optional<std::string_view> name) { return name && (*name == a || *name == b); };

  const std::vector<std::string_view> parts = support::path_components(root);
  const auto root_name = name_of(parts);
  const auto parent = parent_of(parts);
  std::vector<std::string> candidates;
  if (legacy_name(root_name)) candidates.emplace_back(root);
  const bool parent_is_legacy = parent && legacy_name(name_of(*parent));
  if (parent_is_legacy) candidates.push_back(support::components_text(*parent));

  // Inside a legacy directory (root = <container>/<id>-worktrees/<name>) the
  // siblings to look for sit beside that directory, not beside the root.
  auto container = parent;
  if (root_name && !legacy_name(root_name) && parent_is_legacy) container = parent_of(*parent);
  if (container) {
    const std::string base = support::components_text(*container);
    for (const std::string& name : {a, b}) {
      std::string candidate = support::join_path(base, name);
      if (domain::path_exists(candidate)) candidates.push_back(std::move(candidate));
    }
  }
  for (const auto& candidate : candidates) add_unique(out, normalize_path(candidate));
  return out;
}

std::expected<std::map<std::string, std::string>, std::string> set_tessary_project_root_for_worktree(
    const std::optional<std::string>& target_path) {
  const std::string path = target_path.value_or(".");
  if (!domain::path_exists(path)) return std::unexpected("worktree path does not exist: " + path);
  const std::string top = git_repo_root(path);
  if (top.empty()) return std::unexpected("failed to resolve git repository root from: " + path);
  const std::string root = normalize_path(top);
  auto id = resolve_project_id(root);
  if (!id) return std::unexpected(id.error().display());
  auto name = resolve_state_dir_name(*id);
  if (!name) return std::unexpected(name.error().display());
  const std::string state = support::join_path(root, *name);
  return std::map<std::string, std::string>{
      {kProjectRootEnv, root}, {kStateDirEnv, state}, {kSharedDirEnv, state}, {kUvProjectEnv, root}};
}

}  // namespace brackwater::infrastructure
