// Path rules shared by the whole system.
//
// Every stored path, every resolved directory and every path comparison goes
// through `normalize_path`. The functions hold no state; they read the file
// system and the environment (HOME, USERPROFILE) at each call and never write.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace brackwater::domain {

// The project id of a repository that configures none.
inline constexpr std::string_view kDefaultProjectId = "tessary";

inline constexpr char kProjectIdInvalidCode[] = "PROJECT_ID_INVALID";

// Why a text is not a project id.
struct ProjectIdError {
  std::string message;
  std::string code;  // always kProjectIdInvalidCode
};

// Canonical text form of a path: "" for blank input; the real path when the
// path exists; else the real path of its parent joined with the last name as
// written; else the input unchanged. Never fails.
std::string normalize_path(std::string_view path);

// Whether the path's metadata can be read, symbolic links followed.
bool path_exists(std::string_view path);

// True exactly when both normalised forms are the same bytes.
bool paths_equal(std::string_view a, std::string_view b);

// First 12 lower-case hex digits of SHA-1 over the normalised path.
std::string path_fingerprint(std::string_view path);

// Expands a leading "~" with HOME (or USERPROFILE when HOME is unset).
std::string expanduser(std::string_view path);

// The home directory: the given text (expanded), else HOME, else
// USERPROFILE, else ".".
std::string home_dir(const std::optional<std::string>& home);

// <home>/.plowline/worktrees/<project id or "tessary">; not normalised.
std::string home_worktree_base(const std::optional<std::string>& project_id, const std::optional<std::string>& home);

// The id itself when it matches ^[a-z][a-z0-9_-]{0,63}$.
[[nodiscard]] std::expected<std::string, ProjectIdError> validate_project_id(std::string_view id);

}  // namespace brackwater::domain
