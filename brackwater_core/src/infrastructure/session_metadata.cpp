#include "infrastructure/session_metadata.hpp"

#include <nlohmann/json.hpp>

#include "infrastructure/json_text.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

// The string under `key` when it is one.
std::optional<std::string> string_field(const nlohmann::json& object, std::string_view key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

std::optional<SessionMetadata> parse_session_metadata(std::string_view bytes) {
  if (!support::is_utf8(bytes)) return std::nullopt;
  auto value = parse_json_text(bytes);
  if (!value || !value->is_object()) return std::nullopt;
  auto worktree = string_field(*value, "worktree_path");
  if (!worktree) return std::nullopt;
  auto branch = string_field(*value, "branch");
  if (!branch) branch = string_field(*value, "branch_name");
  if (!branch || support::is_blank(*worktree)) return std::nullopt;
  return SessionMetadata{*std::move(worktree), *std::move(branch), string_field(*value, "source_ref").value_or("")};
}

std::optional<SessionMetadata> read_session_metadata(std::string_view path) {
  auto bytes = support::read_regular_file(path);
  if (!bytes) return std::nullopt;
  return parse_session_metadata(*bytes);
}

}  // namespace brackwater::infrastructure
