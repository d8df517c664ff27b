#include "infrastructure/worktree_config_loader.hpp"

#include <algorithm>

#include "domain/paths.hpp"
#include "support/concat.hpp"
#include "support/config_file.hpp"
#include "support/log.hpp"
#include "support/path_components.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

constexpr std::string_view kLogTarget = "brackwater::infrastructure::worktree_config_loader";

// A variable counts as set when the map holds its exact name with a value of
// at least one character (blanks included).
bool is_set(const support::EnvSnapshot& env, std::string_view name) { return env.find_set(name).has_value(); }

// Whether an override applies: when it names variables in
// detection.env_vars_any, any one of them must be set; an entry that does not
// have that shape applies unconditionally.
bool applies(const YamlValue& entry, const support::EnvSnapshot& env) {
  const YamlValue* detection = entry.find("detection");
  const YamlValue* names = detection != nullptr ? detection->find("env_vars_any") : nullptr;
  const YamlValue::Sequence* list = names != nullptr ? names->as_sequence() : nullptr;
  if (list == nullptr) return true;
  return std::ranges::any_of(*list, [&](const YamlValue::Ptr& item) {
    const std::string* name = item->as_string();
    return name != nullptr && is_set(env, *name);
  });
}

std::string unreadable(std::string_view path, const support::ConfigFileError& error) {
  return error.display("config/worktree.yaml", path);
}

}  // namespace

std::expected<WorktreeConfig, std::string> parse_worktree_config(std::string_view text, std::string_view path) {
  auto root = support::parse_config_text(text, parse_yaml_document);
  if (!root) return std::unexpected(unreadable(path, root.error()));
  return WorktreeConfig{*std::move(root)};
}

std::expected<WorktreeConfig, std::string> load_worktree_config(const std::optional<std::string>& root) {
  if (!root) return WorktreeConfig{};
  const std::string path = support::join_path(*root, {"config", "worktree.yaml"});
  // Any failure to see the file (missing, a dangling link, a directory on
  // the way that cannot be searched) means no configuration.
  if (!domain::path_exists(path)) {
    support::log::debug(kLogTarget, [&] { return "worktree_config_missing: path=" + path; });
    return WorktreeConfig{};
  }
  auto doc = support::read_config_file(path, parse_yaml_document);
  if (!doc) return std::unexpected(unreadable(path, doc.error()));
  if (!*doc) return WorktreeConfig{};  // removed since it was seen
  return WorktreeConfig{**std::move(doc)};
}

std::optional<std::string> match_config_override(const WorktreeConfig& config, std::string_view root,
                                                 const support::EnvSnapshot& env) {
  if (!config.root) return std::nullopt;
  const YamlValue* section = config.root->find("worktree");
  const YamlValue* overrides = section != nullptr ? section->find("overrides") : nullptr;
  const YamlValue::Sequence* entries = overrides != nullptr ? overrides->as_sequence() : nullptr;
  if (entries == nullptr) return std::nullopt;

  for (const auto& entry : *entries) {
    if (!applies(*entry, env)) continue;
    const YamlValue* base = entry->find("base");
    const std::string* text = base != nullptr ? base->as_string() : nullptr;
    if (text == nullptr) {
      support::log::warn(kLogTarget, [] { return "worktree_config_override_without_base: entry skipped"; });
      continue;
    }
    if (text->empty()) continue;
    std::string joined = support::join_path(root, *text);
    if (auto resolved = support::real_path(joined)) return support::lossy_utf8(*resolved);
    return joined;
  }
  return std::nullopt;
}

}  // namespace brackwater::infrastructure
