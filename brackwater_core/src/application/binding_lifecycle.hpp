// The service layer around the binding store: registers a session's binding
// after checking it against git, finds, lists and removes bindings, recovers
// a lost binding from the session's metadata file, derives a stand-by binding
// from the environment, and validates a session's current binding.
#pragma once

#include <concepts>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "domain/binding.hpp"
#include "infrastructure/binding_store.hpp"
#include "support/env_snapshot.hpp"

namespace brackwater::application {

// Reason codes of registration and current-binding lookup, besides those of
// validation (validation.hpp).
namespace reason {
inline constexpr char kGitCommonDirMissing[] = "WORKTREE_GIT_COMMON_DIR_MISSING";
inline constexpr char kBindingMissing[] = "WORKTREE_BINDING_MISSING";
inline constexpr char kBindingFieldMissing[] = "WORKTREE_BINDING_FIELD_MISSING";
}  // namespace reason

struct RegisterBindingErrorKinds {
  struct Store {
    infrastructure::BindingStoreError error;
  };
  struct Rejected {
    std::string reason_code;
    std::string message;
  };
};
class RegisterBindingError
    : public RegisterBindingErrorKinds,
      public support::ErrorKinds<RegisterBindingErrorKinds::Store, RegisterBindingErrorKinds::Rejected> {
 public:
  using ErrorKinds::ErrorKinds;
  // The store error's text, or "{reason_code}: {message}".
  std::string display() const;
};

// What `validate_current_binding` is asked.
struct CurrentBindingRequest {
  std::optional<std::string> session_id;
  std::string main_worktree;
  std::optional<std::string> cwd;
  std::optional<support::EnvSnapshot> env;
  bool check_git = false;
  bool require_registered_binding = true;
  domain::BindingValidationOptions options;
};

using infrastructure::BindingStoreError;

[[nodiscard]] std::expected<std::optional<domain::WorktreeBinding>, BindingStoreError> load_binding(
    std::string_view session_id, std::string_view main_worktree);
[[nodiscard]] std::expected<std::vector<domain::WorktreeBinding>, BindingStoreError> list_bindings(
    std::string_view main_worktree);
[[nodiscard]] std::expected<std::optional<domain::WorktreeBinding>, BindingStoreError> remove_binding(
    std::string_view session_id, std::string_view main_worktree);

// Checks the binding against git in the worktree, then stores it under the
// repository's store root. Nothing is written for a rejection; a binding
// that the store could not read back (a blank session id, branch, state
// path or main worktree) is rejected with "WORKTREE_BINDING_FIELD_MISSING".
[[nodiscard]] std::expected<domain::WorktreeBinding, RegisterBindingError> register_binding(
    const std::string& session_id, const std::string& worktree, const std::string& branch,
    const std::string& main_worktree, const std::optional<std::string>& state_path, const std::string& commit_ish);

// Re-registers a session from its metadata.json, looked for under the given
// main worktree and then under the store root. Problems with the metadata
// give nullopt; store and project errors come back as errors.
[[nodiscard]] std::expected<std::optional<domain::WorktreeBinding>, BindingStoreError> recover_binding(
    const std::string& session_id, const std::string& main_worktree);

// Finds the session's binding (store, then recovery, then environment) and
// validates it. Never fails: store errors become results.
[[nodiscard]] domain::BindingValidationResult validate_current_binding(const CurrentBindingRequest& request);

// The binding a session's environment implies (never stored); nullopt
// without a usable TESSARY_WORKTREE.
[[nodiscard]] std::optional<domain::WorktreeBinding> build_env_fallback_binding(
    const std::string& session_id, const std::optional<support::EnvSnapshot>& env, const std::string& main_worktree);

}  // namespace brackwater::application
