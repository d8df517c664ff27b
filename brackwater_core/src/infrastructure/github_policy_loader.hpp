// Loads the GitHub policy: the built-in values overlaid, key by key, with
// `[tool.plowline.github_policy]` of the project's pyproject.toml. Never
// fails: a missing root or file, unreadable or malformed TOML, a missing
// table and a value of the wrong type all keep the built-in value of what
// they concern. Nothing is cached; every call reads the file anew.
#pragma once

#include <toml++/toml.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "domain/github_policy.hpp"

namespace brackwater::infrastructure {

// The string items of a TOML array, in order and unchanged; absent when the
// value is absent, not an array, or holds no string.
std::optional<std::vector<std::string>> string_tuple(const toml::node* value);

// The policy that the text of a pyproject.toml (read from `path`) gives.
domain::GitHubPolicy github_policy_from_pyproject(std::string_view text, std::string_view path);

// The policy of the project at `project_root` (resolved as the project
// functions resolve a root: TESSARY_REPO_ROOT, then git, when absent or "").
domain::GitHubPolicy resolve_github_policy(const std::optional<std::string>& project_root);

std::vector<std::string> resolve_main_branches(const std::optional<std::string>& project_root);

}  // namespace brackwater::infrastructure
