#include "infrastructure/project_id_resolver.hpp"

#include <unordered_map>

#include "domain/paths.hpp"
#include "infrastructure/env_keys.hpp"
#include "infrastructure/git_adapter.hpp"
#include "infrastructure/toml_document.hpp"
#include "support/concat.hpp"
#include "support/config_file.hpp"
#include "support/env.hpp"
#include "support/fork_safe.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

using domain::kDefaultProjectId;

using ProjectIdCache = support::ForkSafeShared<std::unordered_map<std::string, std::string>>;

// One cache for every thread of the process; a forked child may start empty.
ProjectIdCache& project_id_cache() {
  static auto* cache = new ProjectIdCache;
  return *cache;
}

ProjectResolveError unreadable(std::string_view path, const support::ConfigFileError& error) {
  return ProjectResolveError::ConfigUnreadable{error.display("pyproject.toml", path)};
}

// The id configured in a parsed pyproject.toml, "tessary" when none is.
std::expected<std::string, ProjectResolveError> project_id_of(const toml::table& doc) {
  const auto* id = doc["tool"]["plowline"]["project_id"].as_string();
  if (id == nullptr || id->get().empty()) return std::string(kDefaultProjectId);
  auto valid = domain::validate_project_id(id->get());
  if (!valid) return std::unexpected(ProjectResolveError::Invalid{valid.error().message, valid.error().code});
  return *std::move(valid);
}

// Reads <root>/pyproject.toml; the id, or "tessary" when the file is missing.
// Called with the cache lock held.
std::expected<std::string, ProjectResolveError> read_project_id(const std::string& root) {
  const std::string path = support::join_path(root, "pyproject.toml");
  auto doc = support::read_config_file(path, toml_parser(path));
  if (!doc) return std::unexpected(unreadable(path, doc.error()));
  if (!*doc) return std::string(kDefaultProjectId);
  return project_id_of(**doc);
}

}  // namespace

std::expected<std::string, ProjectResolveError> project_id_from_pyproject(std::string_view bytes,
                                                                          std::string_view path) {
  auto doc = support::parse_config_text(bytes, toml_parser(path));
  if (!doc) return std::unexpected(unreadable(path, doc.error()));
  return project_id_of(*doc);
}

const std::string& ProjectResolveError::message() const noexcept {
  if (const auto* invalid = get<Invalid>()) return invalid->message;
  return get<ConfigUnreadable>()->message;  // a variant of string kinds is never valueless
}

std::string ProjectResolveError::code() const {
  if (const auto* invalid = get<Invalid>()) return invalid->code;
  return kConfigUnreadableCode;
}

std::string ProjectResolveError::display() const { return code() + ": " + message(); }

std::string resolve_root(const std::optional<std::string>& root) {
  if (root && !root->empty()) return *root;
  if (auto env = support::env_non_empty(kRepoRootEnv)) return *std::move(env);
  return git_repo_root(std::nullopt);
}

std::expected<std::string, ProjectResolveError> resolve_project_id(const std::optional<std::string>& root) {
  const std::string r = resolve_root(root);
  if (r.empty()) return std::string(kDefaultProjectId);

  return project_id_cache().with([&](auto& ids) -> std::expected<std::string, ProjectResolveError> {
    if (auto it = ids.find(r); it != ids.end()) return it->second;
    auto id = read_project_id(r);
    if (id) ids.emplace(r, *id);
    return id;
  });
}

std::expected<std::string, ProjectResolveError> resolve_state_dir_name(const std::optional<std::string>& project_id) {
  if (project_id && project_id->empty()) return support::concat(".", kDefaultProjectId);
  std::string id;
  if (project_id) {
    id = *project_id;
  } else {
    auto resolved = resolve_project_id(std::nullopt);
    if (!resolved) return std::unexpected(resolved.error());
    id = *std::move(resolved);
  }
  auto valid = domain::validate_project_id(id);
  if (!valid) return std::unexpected(ProjectResolveError::Invalid{valid.error().message, valid.error().code});
  return support::concat(".", id);
}

std::expected<std::string, ProjectResolveError> store_relative_path(const std::optional<std::string>& project_id) {
  auto name = resolve_state_dir_name(project_id);
  if (!name) return std::unexpected(name.error());
  return support::join_path(*name, {"state", "brackwater", "bindings.json"});
}

std::expected<std::string, ProjectResolveError> state_dir(const std::optional<std::string>& root) {
  const std::string r = resolve_root(root);
  if (r.empty()) return std::string();
  const std::string n = domain::normalize_path(r);
  auto id = resolve_project_id(n);
  if (!id) return std::unexpected(id.error());
  auto name = resolve_state_dir_name(*id);
  if (!name) return std::unexpected(name.error());
  return support::join_path(n, *name);
}

}  // namespace brackwater::infrastructure
