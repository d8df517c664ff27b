#include "infrastructure/github_policy_loader.hpp"

#include "domain/paths.hpp"
#include "infrastructure/project_id_resolver.hpp"
#include "infrastructure/toml_document.hpp"
#include "support/config_file.hpp"
#include "support/log.hpp"
#include "support/path_join.hpp"

namespace brackwater::infrastructure {
namespace {

constexpr std::string_view kLogTarget = "brackwater::infrastructure::github_policy_loader";

// `field` = the string items of `value` when it has any; else unchanged.
void overlay(std::vector<std::string>& field, const toml::node* value) {
  if (auto items = string_tuple(value)) field = *std::move(items);
}

// The built-in policy overlaid with the document's table, or the built-in
// policy alone when the file could not be read or parsed (only a parse
// failure is worth a warning).
domain::GitHubPolicy policy_of(const std::expected<toml::table, support::ConfigFileError>& doc, std::string_view path) {
  domain::GitHubPolicy policy = domain::GitHubPolicy::fallback();
  if (!doc) {
    if (doc.error().stage == support::ConfigFileError::Stage::kParse) {
      support::log::warn(kLogTarget, [&] {
        return "pyproject_parse_failed: path=" + std::string(path) + " err=" + doc.error().detail +
               " (github policy falls back to defaults)";
      });
    }
    return policy;
  }
  const toml::table* table = (*doc)["tool"]["plowline"]["github_policy"].as_table();
  if (table == nullptr) return policy;
  overlay(policy.pr_title_prefixes, table->get("pr_title_prefixes"));
  overlay(policy.main_branches, table->get("main_branches"));
  if (const auto* flag = table->get_as<bool>("pr_title_issue_suffix_required")) {
    policy.pr_title_issue_suffix_required = flag->get();
  }
  if (const auto* sections = table->get_as<toml::table>("required_sections")) {
    overlay(policy.required_sections_issue, sections->get("issue"));
    overlay(policy.required_sections_pr, sections->get("pr"));
  }
  return policy;
}

}  // namespace

std::optional<std::vector<std::string>> string_tuple(const toml::node* value) {
  const toml::array* array = value != nullptr ? value->as_array() : nullptr;
  if (array == nullptr) return std::nullopt;
  std::vector<std::string> items;
  for (const toml::node& item : *array) {
    if (const auto* text = item.as_string()) items.push_back(text->get());
  }
  if (items.empty()) return std::nullopt;
  return items;
}

domain::GitHubPolicy github_policy_from_pyproject(std::string_view text, std::string_view path) {
  return policy_of(support::parse_config_text(text, toml_parser(path)), path);
}

domain::GitHubPolicy resolve_github_policy(const std::optional<std::string>& project_root) {
  const std::string root = resolve_root(project_root);
  if (root.empty()) return domain::GitHubPolicy::fallback();
  const std::string path = support::join_path(domain::normalize_path(root), "pyproject.toml");
  auto doc = support::read_config_file(path, toml_parser(path));
  if (doc && !*doc) return domain::GitHubPolicy::fallback();  // no file
  if (!doc) return policy_of(std::unexpected(doc.error()), path);
  return policy_of(**std::move(doc), path);
}

std::vector<std::string> resolve_main_branches(const std::optional<std::string>& project_root) {
  return resolve_github_policy(project_root).main_branches;
}

}  // namespace brackwater::infrastructure
