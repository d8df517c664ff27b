#include "infrastructure/project_id_resolver.hpp"

#include <toml++/toml.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "domain/paths.hpp"
#include "infrastructure/env_keys.hpp"
#include "infrastructure/git_adapter.hpp"
#include "support/concat.hpp"
#include "support/env.hpp"
#include "support/files.hpp"
#include "support/os_error.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

using domain::kDefaultProjectId;

struct ProjectIdCache {
  std::mutex mutex;
  std::unordered_map<std::string, std::string> ids;
};

ProjectIdCache& project_id_cache() {
  static ProjectIdCache cache;
  return cache;
}

ProjectResolveError unreadable(std::string message) {
  return ProjectResolveError::ConfigUnreadable{std::move(message)};
}

// Reads <root>/pyproject.toml; the id, or "tessary" when the file is missing.
// Called with the cache lock held.
std::expected<std::string, ProjectResolveError> read_project_id(const std::string& root) {
  const std::string path = support::join_path(root, "pyproject.toml");
  auto bytes = support::read_file(path);
  if (!bytes) {
    if (bytes.error() == ENOENT) return std::string(kDefaultProjectId);
    return std::unexpected(unreadable(
        support::concat("pyproject.toml at ", path, " could not be read: ", support::os_error_text(bytes.error()))));
  }
  return project_id_from_pyproject(*bytes, path);
}

}  // namespace

std::expected<std::string, ProjectResolveError> project_id_from_pyproject(std::string_view bytes,
                                                                         std::string_view path) {
  if (auto bad = support::utf8_error(bytes)) {
    return std::unexpected(unreadable(
        support::concat("pyproject.toml at ", path, " could not be read: file is not valid UTF-8 (", *bad, ")")));
  }
  toml::table doc;
  try {
    doc = toml::parse(bytes, path);
  } catch (const toml::parse_error& e) {
    const auto& where = e.source().begin;
    return std::unexpected(unreadable(support::concat("pyproject.toml at ", path, " could not be parsed: ",
                                                      e.description(), " at line ", where.line, ", column ",
                                                      where.column)));
  }
  const auto* id = doc["tool"]["plowline"]["project_id"].as_string();
  if (id == nullptr || id->get().empty()) return std::string(kDefaultProjectId);
  auto valid = domain::validate_project_id(id->get());
  if (!valid) return std::unexpected(ProjectResolveError::Invalid{valid.error().message, valid.error().code});
  return *std::move(valid);
}

const std::string& ProjectResolveError::message() const noexcept {
  return std::visit([](const auto& v) -> const std::string& { return v.message; }, value());
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

  auto& cache = project_id_cache();
  std::lock_guard lock(cache.mutex);
  if (auto it = cache.ids.find(r); it != cache.ids.end()) return it->second;
  auto id = read_project_id(r);
  if (id) cache.ids.emplace(r, *id);
  return id;
}

std::expected<std::string, ProjectErrorTexts> resolve_project_id_checked(const std::optional<std::string>& root) {
  auto id = resolve_project_id(root);
  if (!id) return std::unexpected(ProjectErrorTexts{id.error().message(), id.error().code()});
  return *std::move(id);
}

std::expected<std::string, ProjectResolveError> resolve_state_dir_name(
    const std::optional<std::string>& project_id) {
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
