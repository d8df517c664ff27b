// The optional per-repository file config/worktree.yaml: base-directory
// overrides, each chosen by environment variables that detect where the
// caller runs. Only read under CI by the worktree-base resolver. Reads and
// never writes; nothing is kept between calls.
//
//   worktree:
//     overrides:
//       - detection: {env_vars_any: [GITHUB_ACTIONS, BUILDKITE]}
//         base: ci-trees        # relative to the repository root, or absolute
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "infrastructure/yaml_value.hpp"
#include "support/env_snapshot.hpp"

namespace brackwater::infrastructure {

// The whole file as one untyped YAML document; no root means no
// configuration (no repository root, or no file).
struct WorktreeConfig {
  YamlValue::Ptr root;

  // True for no configuration and for a document that is null (tags looked
  // through).
  bool is_null() const noexcept { return !root || root->is_null(); }
};

// <root>/config/worktree.yaml. A missing file gives no configuration; one
// that exists but cannot be read or parsed gives
// "config/worktree.yaml at <path> could not be read|parsed: <error>".
std::expected<WorktreeConfig, std::string> load_worktree_config(const std::optional<std::string>& root);

// The parse step alone, for text already read from `path`.
std::expected<WorktreeConfig, std::string> parse_worktree_config(std::string_view text, std::string_view path);

// The base directory of the first override that applies under `env` and
// holds a non-empty base: the real path of root joined with it, or the
// joined text when that does not resolve. Never fails.
std::optional<std::string> match_config_override(const WorktreeConfig& config, std::string_view root,
                                                 const support::EnvSnapshot& env);

}  // namespace brackwater::infrastructure
