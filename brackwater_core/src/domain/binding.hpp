// The worktree binding record: which git worktree a session works in. Its
// dictionary form is the form of every entry of the binding store.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace brackwater::domain {

class PathResolver;

// Schema version of the binding format; always the one written.
inline constexpr int64_t kCurrentSchemaVersion = 2;

// One member of a JSON object as the dictionary form reads it, whatever JSON
// library parsed it: absent, a string, an integer that fits 64 signed bits,
// or anything else. The text points into the parsed document.
struct FieldValue {
  enum class Kind : uint8_t { kAbsent, kString, kInt64, kOther };
  Kind kind = Kind::kAbsent;
  std::string_view text;
  int64_t int64 = 0;

  bool present() const noexcept { return kind != Kind::kAbsent; }
};

// The members of an entry that the dictionary form looks at. Where a key
// occurs twice in an object, the later value counts.
struct BindingFields {
  bool is_object = false;
  FieldValue session_id, worktree, worktree_path, branch, state_path, git_common_dir, main_worktree, repo_root,
      commit_ish, source_ref, schema_version;

  // The field named `key`, or nullptr when the dictionary form has no such
  // key; lets a reader fill the fields by name in one pass over an object.
  FieldValue* slot(std::string_view key) noexcept;
};

struct WorktreeBinding {
  std::string session_id;
  std::string worktree;  // normalised
  std::string branch;
  std::string state_path;      // normalised
  std::string git_common_dir;  // normalised; may be empty
  std::string main_worktree;   // normalised
  std::string commit_ish;      // may be empty
  int64_t schema_version = kCurrentSchemaVersion;

  // Every record is made here: the four path fields are normalised (in the
  // order worktree, state_path, git_common_dir, main_worktree) and an absent
  // schema version becomes the current one. Never fails.
  static WorktreeBinding create(std::string session_id, const std::string& worktree, std::string branch,
                                const std::string& state_path, const std::string& git_common_dir,
                                const std::string& main_worktree, std::string commit_ish,
                                std::optional<int64_t> schema_version = std::nullopt);
  // The same, resolving paths through `paths` (one call's memo).
  static WorktreeBinding create(PathResolver& paths, std::string session_id, const std::string& worktree,
                                std::string branch, const std::string& state_path, const std::string& git_common_dir,
                                const std::string& main_worktree, std::string commit_ish,
                                std::optional<int64_t> schema_version);

  // The eight-key JSON object; "schema_version" is always the current one.
  nlohmann::json to_dict() const;

  // Parses the dictionary form, accepting the aliases "worktree_path",
  // "repo_root" and "source_ref". The error is a plain text.
  [[nodiscard]] static std::expected<WorktreeBinding, std::string> from_dict(const nlohmann::json& payload);
  // The same parse over fields read from any JSON document.
  [[nodiscard]] static std::expected<WorktreeBinding, std::string> from_fields(const BindingFields& fields,
                                                                               PathResolver& paths);
};

// The fields of `payload` (a JSON value of any type).
BindingFields binding_fields(const nlohmann::json& payload);

// Switches of binding validation.
struct BindingValidationOptions {
  bool require_env_worktree = false;
  bool require_git_state = false;
};

// Outcome of a binding check.
struct BindingValidationResult {
  bool ok = false;
  std::string reason_code;
  std::string message;
  std::optional<WorktreeBinding> binding;
};

}  // namespace brackwater::domain
