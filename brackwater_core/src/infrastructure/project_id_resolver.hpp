// Which repository the caller means and which project it belongs to.
//
// The project id comes from `[tool.plowline] project_id` in the repository's
// pyproject.toml ("tessary" when none is configured). Successful resolutions
// are cached per process, keyed by the root text exactly as resolved; errors
// are never cached, so a broken configuration is read again on every call.
#pragma once

#include <concepts>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "support/error_kinds.hpp"

namespace brackwater::infrastructure {

struct ProjectResolveErrorKinds {
  // The configured id fails the project-id pattern.
  struct Invalid {
    std::string message;
    std::string code;  // domain::kProjectIdInvalidCode
  };
  // pyproject.toml exists but cannot be read or parsed.
  struct ConfigUnreadable {
    std::string message;
  };
};
class ProjectResolveError
    : public ProjectResolveErrorKinds,
      public support::ErrorKinds<ProjectResolveErrorKinds::Invalid, ProjectResolveErrorKinds::ConfigUnreadable> {
 public:
  static constexpr const char* kConfigUnreadableCode = "WORKTREE_PROJECT_CONFIG_UNREADABLE";

  using ErrorKinds::ErrorKinds;
  bool is_invalid() const noexcept { return is<Invalid>(); }
  const std::string& message() const noexcept;
  std::string code() const;
  // "{code}: {message}"
  std::string display() const;
};

// The project id that the text of a pyproject.toml (read from `path`)
// configures: "tessary" when it configures none.
[[nodiscard]] std::expected<std::string, ProjectResolveError> project_id_from_pyproject(std::string_view bytes,
                                                                                        std::string_view path);

// The given root when non-empty, else TESSARY_REPO_ROOT when non-empty, else
// git's top level of the current directory, else "".
std::string resolve_root(const std::optional<std::string>& root);

[[nodiscard]] std::expected<std::string, ProjectResolveError> resolve_project_id(
    const std::optional<std::string>& root);

// "." followed by the (given or resolved) project id; ".tessary" for "".
[[nodiscard]] std::expected<std::string, ProjectResolveError> resolve_state_dir_name(
    const std::optional<std::string>& project_id);

// .<project_id>/state/brackwater/bindings.json
[[nodiscard]] std::expected<std::string, ProjectResolveError> store_relative_path(
    const std::optional<std::string>& project_id);

// <normalised root>/.<project_id>, or "" when no root resolves.
[[nodiscard]] std::expected<std::string, ProjectResolveError> state_dir(const std::optional<std::string>& root);

}  // namespace brackwater::infrastructure
