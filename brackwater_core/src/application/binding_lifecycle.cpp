#include "application/binding_lifecycle.hpp"

#include "application/validation.hpp"
#include "domain/paths.hpp"
#include "infrastructure/env_keys.hpp"
#include "infrastructure/git_adapter.hpp"
#include "infrastructure/project_id_resolver.hpp"
#include "infrastructure/session_metadata.hpp"
#include "support/concat.hpp"
#include "support/log.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"

namespace brackwater::application {
namespace {

using domain::BindingValidationResult;
using domain::WorktreeBinding;
using infrastructure::ProjectResolveError;
using infrastructure::WorktreeBindingStore;
constexpr std::string_view kLogTarget = "brackwater::application::binding_lifecycle";

// .<project_id>/state/plowline, with the store root's project id.
std::expected<std::string, ProjectResolveError> session_state_subpath(const std::string& store_root) {
  auto project_id = infrastructure::resolve_project_id(support::lossy_utf8(store_root));
  if (!project_id) return std::unexpected(project_id.error());
  auto name = infrastructure::resolve_state_dir_name(*project_id);
  if (!name) return std::unexpected(name.error());
  return support::join_path(*name, {"state", "plowline"});
}

// A session id that can stand as one path component. Anything else never
// reaches the file system.
bool usable_as_component(std::string_view session_id) {
  return !session_id.empty() && session_id != "." && session_id != ".." &&
         session_id.find('/') == std::string_view::npos && session_id.find('\0') == std::string_view::npos;
}

std::expected<std::optional<WorktreeBinding>, BindingStoreError> recover_binding_from_metadata(
    const std::string& session_id, const std::string& base, const std::string& store_root) {
  auto subpath = session_state_subpath(store_root);
  if (!subpath) return std::unexpected(BindingStoreError::Project{subpath.error()});
  if (!usable_as_component(session_id)) return std::nullopt;
  const std::string path = support::join_path(base, {*subpath, "sessions", session_id, "metadata.json"});

  auto metadata = infrastructure::read_session_metadata(path);
  if (!metadata) return std::nullopt;

  auto registered = register_binding(session_id, metadata->worktree, metadata->branch, store_root, std::nullopt,
                                     metadata->commit_ish);
  if (registered) return *std::move(registered);
  if (const auto* store = registered.error().get<RegisterBindingError::Store>()) {
    return std::unexpected(store->error);
  }
  support::log::debug(kLogTarget, [&] {
    return support::concat("recover_binding(", session_id, "): metadata ", path,
                           " rejected: ", registered.error().display());
  });
  return std::nullopt;
}

// Recovery for the normalised main worktree `m` whose store root is already
// known: metadata under `m` first, then under the store root.
std::expected<std::optional<WorktreeBinding>, BindingStoreError> recover_binding_under(const std::string& session_id,
                                                                                       const std::string& m,
                                                                                       const std::string& root) {
  auto found = recover_binding_from_metadata(session_id, m, root);
  if (!found || *found) return found;
  if (support::lossy_utf8(root) == m) return std::nullopt;
  return recover_binding_from_metadata(session_id, root, root);
}

BindingValidationResult env_missing() { return {false, reason::kEnvMissing, kEnvMissingMessage, std::nullopt}; }

BindingValidationResult store_unavailable(const BindingStoreError& error) {
  return {false, error.code(), error.display(), std::nullopt};
}

RegisterBindingError rejected(std::string code, std::string message) {
  return RegisterBindingError::Rejected{std::move(code), std::move(message)};
}

}  // namespace

std::string RegisterBindingError::display() const {
  if (const auto* store = get<Store>()) return store->error.display();
  const auto& r = *get<Rejected>();
  return r.reason_code + ": " + r.message;
}

std::expected<std::optional<WorktreeBinding>, BindingStoreError> load_binding(std::string_view session_id,
                                                                              std::string_view main_worktree) {
  auto store = WorktreeBindingStore::create(main_worktree);
  if (!store) return std::unexpected(store.error());
  return store->load(session_id);
}

std::expected<std::vector<WorktreeBinding>, BindingStoreError> list_bindings(std::string_view main_worktree) {
  auto store = WorktreeBindingStore::create(main_worktree);
  if (!store) return std::unexpected(store.error());
  return store->list();
}

std::expected<std::optional<WorktreeBinding>, BindingStoreError> remove_binding(std::string_view session_id,
                                                                                std::string_view main_worktree) {
  auto store = WorktreeBindingStore::create(main_worktree);
  if (!store) return std::unexpected(store.error());
  return store->remove(session_id);
}

std::expected<WorktreeBinding, RegisterBindingError> register_binding(
    const std::string& session_id, const std::string& worktree, const std::string& branch,
    const std::string& main_worktree, const std::optional<std::string>& state_path, const std::string& commit_ish) {
  const std::string w = domain::normalize_path(worktree);
  const std::string root = infrastructure::resolve_store_root(domain::normalize_path(main_worktree));

  auto common = infrastructure::git_output(w, infrastructure::git_commands::kCommonDir);
  if (!common && !common.error().is_nonzero_exit()) {
    return std::unexpected(rejected(reason::kGitUnavailable, "git could not be run: " + common.error().display()));
  }
  if (!common || common->empty()) {
    return std::unexpected(rejected(reason::kGitCommonDirMissing, "worktree git common dir is required"));
  }

  std::string state;
  if (state_path) {
    state = domain::normalize_path(*state_path);
  } else {
    auto subpath = session_state_subpath(root);
    if (!subpath) {
      if (subpath.error().is_invalid()) {
        return std::unexpected(rejected(subpath.error().code(), subpath.error().message()));
      }
      return std::unexpected(RegisterBindingError::Store{BindingStoreError::Project{subpath.error()}});
    }
    state = domain::normalize_path(support::join_path(w, *subpath));
  }

  auto binding = WorktreeBinding::create(session_id, w, branch, state, domain::normalize_path(*common),
                                         support::lossy_utf8(root), commit_ish);
  // A blank session id, branch, state path or main worktree would be stored
  // as an entry that no read of the store accepts: refuse it, writing nothing.
  if (auto readable = WorktreeBinding::from_dict(binding.to_dict()); !readable) {
    return std::unexpected(rejected(reason::kBindingFieldMissing, readable.error()));
  }
  const support::EnvSnapshot env{{infrastructure::kWorktreeEnv, w}};
  auto checked = validate_binding(binding, w, env, /*check_git=*/true, std::nullopt);
  if (!checked.ok) return std::unexpected(rejected(checked.reason_code, checked.message));

  // `root` is a store root already; resolving it again would give itself.
  auto store = WorktreeBindingStore::at_store_root(root);
  if (!store) return std::unexpected(RegisterBindingError::Store{store.error()});
  if (auto stored = store->upsert(binding); !stored) {
    return std::unexpected(RegisterBindingError::Store{stored.error()});
  }
  return binding;
}

std::expected<std::optional<WorktreeBinding>, BindingStoreError> recover_binding(const std::string& session_id,
                                                                                 const std::string& main_worktree) {
  const std::string m = domain::normalize_path(main_worktree);
  return recover_binding_under(session_id, m, infrastructure::resolve_store_root(m));
}
std::optional<WorktreeBinding> build_env_fallback_binding(const std::string& session_id,
                                                          const std::optional<support::EnvSnapshot>& env,
                                                          const std::string& main_worktree) {
  if (!env || env->empty()) return std::nullopt;
  const auto worktree = env->find(infrastructure::kWorktreeEnv);
  if (!worktree || support::is_blank(*worktree)) return std::nullopt;
  const std::string w = domain::normalize_path(support::trim(*worktree));
  const std::string root = infrastructure::resolve_store_root(w);
  std::string branch(env->find(infrastructure::kBranchEnv).value_or(std::string_view{}));
  auto subpath = session_state_subpath(root);
  if (!subpath) return std::nullopt;
  return WorktreeBinding::create(session_id, w, std::move(branch), support::join_path(w, *subpath), "",
                                 domain::normalize_path(main_worktree), "env-fallback");
}

BindingValidationResult validate_current_binding(const CurrentBindingRequest& request) {
  std::optional<WorktreeBinding> binding;
  if (request.session_id) {
    auto store = WorktreeBindingStore::create(request.main_worktree);
    if (!store) return store_unavailable(store.error());
    auto loaded = store->load(*request.session_id);
    if (!loaded) return store_unavailable(loaded.error());
    binding = *std::move(loaded);
    if (!binding) {
      // The store's root is the one recovery would resolve again; reuse it.
      auto recovered = recover_binding_under(*request.session_id, domain::normalize_path(request.main_worktree),
                                             store->main_worktree());
      if (!recovered) return store_unavailable(recovered.error());
      binding = *std::move(recovered);
    }
    if (!binding && request.require_registered_binding) {
      return {false, reason::kBindingMissing, "no worktree binding found for session", std::nullopt};
    }
    if (!binding) binding = build_env_fallback_binding(*request.session_id, request.env, request.main_worktree);
  } else {
    binding = build_env_fallback_binding("", request.env, request.main_worktree);
  }
  if (!binding) return env_missing();
  return validate_binding(*binding, request.cwd, request.env, request.check_git, request.options);
}

}  // namespace brackwater::application
