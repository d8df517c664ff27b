#include "domain/binding.hpp"

#include <limits>

#include "domain/paths.hpp"
#include "support/text.hpp"

namespace brackwater::domain {
namespace {

using nlohmann::json;

const json* find(const json& object, std::string_view key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// A present key is looked up under its own name even when its value is
// unusable; the alias is consulted only when the key is absent.
std::expected<std::string, std::string> required_str_or_alias(const json& object, std::string_view key,
                                                              std::string_view alias) {
  return required_str(object, find(object, key) != nullptr ? key : alias);
}

// A JSON integer that fits 64 signed bits; nullopt for anything else.
std::optional<int64_t> as_i64(const json& value) {
  if (value.is_number_unsigned()) {
    const auto n = value.get<uint64_t>();
    if (n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(n);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  return std::nullopt;
}

}  // namespace

WorktreeBinding WorktreeBinding::create(std::string session_id, std::string worktree, std::string branch,
                                        std::string state_path, std::string git_common_dir,
                                        std::string main_worktree, std::string commit_ish,
                                        std::optional<int64_t> schema_version) {
  WorktreeBinding b;
  b.session_id = std::move(session_id);
  b.worktree = normalize_path(worktree);
  b.branch = std::move(branch);
  b.state_path = normalize_path(state_path);
  b.git_common_dir = normalize_path(git_common_dir);
  b.main_worktree = normalize_path(main_worktree);
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

std::expected<std::string, std::string> required_str(const nlohmann::json& object, std::string_view key) {
  if (const json* value = find(object, key); value != nullptr && value->is_string()) {
    const auto& text = value->get_ref<const std::string&>();
    if (!support::is_blank(text)) return text;
  }
  return std::unexpected("missing required worktree binding field: " + std::string(key));
}

std::string optional_str_alias(const nlohmann::json& object) {
  for (std::string_view key : {"commit_ish", "source_ref"}) {
    if (const json* value = find(object, key)) return value->is_string() ? value->get<std::string>() : "";
  }
  return {};
}

std::expected<WorktreeBinding, std::string> WorktreeBinding::from_dict(const nlohmann::json& payload) {
  if (!payload.is_object()) return std::unexpected("worktree binding payload must be an object");
  auto session_id = required_str(payload, "session_id");
  if (!session_id) return std::unexpected(session_id.error());
  auto worktree = required_str_or_alias(payload, "worktree", "worktree_path");
  if (!worktree) return std::unexpected(worktree.error());
  auto branch = required_str(payload, "branch");
  if (!branch) return std::unexpected(branch.error());
  auto state_path = required_str(payload, "state_path");
  if (!state_path) return std::unexpected(state_path.error());
  std::string git_common_dir;
  if (const json* value = find(payload, "git_common_dir"); value != nullptr && value->is_string()) {
    git_common_dir = value->get<std::string>();
  }
  auto main_worktree = required_str_or_alias(payload, "main_worktree", "repo_root");
  if (!main_worktree) return std::unexpected(main_worktree.error());
  std::string commit_ish = optional_str_alias(payload);
  std::optional<int64_t> schema_version;
  if (const json* value = find(payload, "schema_version")) schema_version = as_i64(*value);

  return create(*std::move(session_id), *std::move(worktree), *std::move(branch), *std::move(state_path),
                std::move(git_common_dir), *std::move(main_worktree), std::move(commit_ish), schema_version);
}

}  // namespace brackwater::domain
