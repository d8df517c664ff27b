// Where a project's worktrees live, which other directories may still hold
// them, and the four project-root environment values of a worktree.
//
// The base is, first match wins: an explicit base; under CI (CI or
// GITHUB_ACTIONS set), TESSARY_WORKTREE_BASE or a matching override of
// config/worktree.yaml; else ~/.plowline/worktrees/<project id>. Every
// directory returned is normalised. Nothing is written or created and no
// variable is set; the environment map is a snapshot the caller passes (the
// process environment, read once per call, when it passes none).
#pragma once

#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "domain/binding.hpp"
#include "infrastructure/project_id_resolver.hpp"
#include "support/env_snapshot.hpp"
#include "support/error_kinds.hpp"

namespace brackwater::infrastructure {

struct WorktreeBaseErrorKinds {
  // The project id of the repository root cannot be resolved.
  struct Project {
    ProjectResolveError error;
  };
  // Under CI, config/worktree.yaml exists but cannot be read or parsed; the
  // loader's text, unchanged.
  struct ConfigUnreadable {
    std::string detail;
  };
};
class WorktreeBaseError
    : public WorktreeBaseErrorKinds,
      public support::ErrorKinds<WorktreeBaseErrorKinds::Project, WorktreeBaseErrorKinds::ConfigUnreadable> {
 public:
  static constexpr const char* kConfigUnreadableCode = "WORKTREE_CONFIG_UNREADABLE";

  using ErrorKinds::ErrorKinds;
  // "WORKTREE_CONFIG_UNREADABLE: {detail}", or the project error's text.
  std::string display() const;
};

using EnvSnapshot = support::EnvSnapshot;

std::expected<std::string, WorktreeBaseError> resolve_worktree_base(const std::optional<std::string>& explicit_base,
                                                                    const std::optional<std::string>& repo_root,
                                                                    const std::optional<std::string>& home,
                                                                    const std::optional<EnvSnapshot>& env);

// The base joined with `worktree_name` (not normalised again; an absolute
// name replaces the base).
std::expected<std::string, WorktreeBaseError> resolve_worktree_dir(std::string_view worktree_name,
                                                                   const std::optional<std::string>& explicit_base,
                                                                   const std::optional<std::string>& repo_root,
                                                                   const std::optional<std::string>& home,
                                                                   const std::optional<EnvSnapshot>& env);

// The home default, the resolved base, TESSARY_WORKTREE_BASE (CI or not),
// <root>/.plowline/worktrees when it exists, then the legacy candidates;
// normalised, no empty text, no text twice.
std::expected<std::vector<std::string>, WorktreeBaseError> resolve_known_worktree_bases(
    const std::optional<std::string>& repo_root, const std::optional<std::string>& home,
    const std::optional<EnvSnapshot>& env);

// Directories named "<project id>-worktrees" or "tessary-worktrees" at or
// beside the root (the latter only when they exist), normalised, in order.
std::expected<std::vector<std::string>, ProjectResolveError> legacy_base_candidates(
    std::string_view root, const std::optional<std::string>& project_id);

// TESSARY_PROJECT_ROOT, TESSARY_STATE_DIR, TESSARY_SHARED_DIR and UV_PROJECT
// for the repository that holds `target_path` ("." when absent), or the
// reason they cannot be computed. The process environment is not changed.
std::expected<std::map<std::string, std::string>, std::string> set_tessary_project_root_for_worktree(
    const std::optional<std::string>& target_path);

}  // namespace brackwater::infrastructure
