#include "domain/binding.hpp"

#include <limits>

#include "domain/path_resolver.hpp"
#include "support/text.hpp"

namespace brackwater::domain {
namespace {

using nlohmann::json;

FieldValue field_of(const json* value) {
  FieldValue field;
  if (value == nullptr) return field;
  field.kind = FieldValue::Kind::kOther;
  if (value->is_string()) {
    field.kind = FieldValue::Kind::kString;
    field.text = value->get_ref<const std::string&>();
  } else if (value->is_number_unsigned()) {
    const auto n = value->get<uint64_t>();
    if (n <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      field.kind = FieldValue::Kind::kInt64;
      field.int64 = static_cast<int64_t>(n);
    }
  } else if (value->is_number_integer()) {
    field.kind = FieldValue::Kind::kInt64;
    field.int64 = value->get<int64_t>();
  }
  return field;
}

std::expected<std::string, std::string> required_text(const FieldValue& field, std::string_view key) {
  if (field.kind == FieldValue::Kind::kString && !support::is_blank(field.text)) return std::string(field.text);
  return std::unexpected("missing required worktree binding field: " + std::string(key));
}

// A present key is looked up under its own name even when its value is
// unusable; the alias is consulted only when the key is absent.
std::expected<std::string, std::string> required_text_or_alias(const FieldValue& field, std::string_view key,
                                                               const FieldValue& alias, std::string_view alias_key) {
  return field.present() ? required_text(field, key) : required_text(alias, alias_key);
}

std::string text_or_empty(const FieldValue& field) {
  return field.kind == FieldValue::Kind::kString ? std::string(field.text) : std::string();
}

std::string commit_ish_of(const BindingFields& fields) {
  if (fields.commit_ish.present()) return text_or_empty(fields.commit_ish);
  return text_or_empty(fields.source_ref);
}

}  // namespace

FieldValue* BindingFields::slot(std::string_view key) noexcept {
  switch (key.size()) {
    case 6: return key == "branch" ? &branch : nullptr;
    case 8: return key == "worktree" ? &worktree : nullptr;
    case 9: return key == "repo_root" ? &repo_root : nullptr;
    case 10:
      if (key == "session_id") return &session_id;
      if (key == "state_path") return &state_path;
      if (key == "commit_ish") return &commit_ish;
      if (key == "source_ref") return &source_ref;
      return nullptr;
    case 13:
      if (key == "worktree_path") return &worktree_path;
      if (key == "main_worktree") return &main_worktree;
      return nullptr;
    case 14:
      if (key == "git_common_dir") return &git_common_dir;
      if (key == "schema_version") return &schema_version;
      return nullptr;
    default: return nullptr;
  }
}

BindingFields binding_fields(const nlohmann::json& payload) {
  BindingFields fields;
  if (!payload.is_object()) return fields;
  fields.is_object = true;
  for (auto it = payload.begin(); it != payload.end(); ++it) {
    if (FieldValue* slot = fields.slot(it.key())) *slot = field_of(&it.value());
  }
  return fields;
}

WorktreeBinding WorktreeBinding::create(std::string session_id, const std::string& worktree, std::string branch,
                                        const std::string& state_path, const std::string& git_common_dir,
                                        const std::string& main_worktree, std::string commit_ish,
                                        std::optional<int64_t> schema_version) {
  PathResolver paths;
  return create(paths, std::move(session_id), worktree, std::move(branch), state_path, git_common_dir, main_worktree,
                std::move(commit_ish), schema_version);
}

WorktreeBinding WorktreeBinding::create(PathResolver& paths, std::string session_id, const std::string& worktree,
                                        std::string branch, const std::string& state_path,
                                        const std::string& git_common_dir, const std::string& main_worktree,
                                        std::string commit_ish, std::optional<int64_t> schema_version) {
  WorktreeBinding b;
  b.session_id = std::move(session_id);
  b.worktree = paths.normalize(worktree);
  b.branch = std::move(branch);
  b.state_path = paths.normalize(state_path);
  b.git_common_dir = paths.normalize(git_common_dir);
  b.main_worktree = paths.normalize(main_worktree);
  b.commit_ish = std::move(commit_ish);
  b.schema_version = schema_version.value_or(kCurrentSchemaVersion);
  return b;
}

nlohmann::json WorktreeBinding::to_dict() const {
  return json{
      {"session_id", session_id},
      {"worktree", worktree},
      {"branch", branch},
      {"state_path", state_path},
      {"git_common_dir", git_common_dir},
      {"main_worktree", main_worktree},
      {"commit_ish", commit_ish},
      {"schema_version", kCurrentSchemaVersion},
  };
}

std::expected<WorktreeBinding, std::string> WorktreeBinding::from_dict(const nlohmann::json& payload) {
  PathResolver paths;
  return from_fields(binding_fields(payload), paths);
}

std::expected<WorktreeBinding, std::string> WorktreeBinding::from_fields(const BindingFields& fields,
                                                                         PathResolver& paths) {
  if (!fields.is_object) return std::unexpected("worktree binding payload must be an object");
  auto session_id = required_text(fields.session_id, "session_id");
  if (!session_id) return std::unexpected(session_id.error());
  auto worktree = required_text_or_alias(fields.worktree, "worktree", fields.worktree_path, "worktree_path");
  if (!worktree) return std::unexpected(worktree.error());
  auto branch = required_text(fields.branch, "branch");
  if (!branch) return std::unexpected(branch.error());
  auto state_path = required_text(fields.state_path, "state_path");
  if (!state_path) return std::unexpected(state_path.error());
  std::string git_common_dir = text_or_empty(fields.git_common_dir);
  auto main_worktree = required_text_or_alias(fields.main_worktree, "main_worktree", fields.repo_root, "repo_root");
  if (!main_worktree) return std::unexpected(main_worktree.error());
  std::string commit_ish = commit_ish_of(fields);
  std::optional<int64_t> schema_version;
  if (fields.schema_version.kind == FieldValue::Kind::kInt64) schema_version = fields.schema_version.int64;

  return create(paths, *std::move(session_id), *worktree, *std::move(branch), *state_path, git_common_dir,
                *main_worktree, std::move(commit_ish), schema_version);
}

}  // namespace brackwater::domain
