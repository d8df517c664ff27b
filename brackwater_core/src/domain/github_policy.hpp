// The project's GitHub conventions: main branches, pull-request title
// prefixes and whether a title needs an issue suffix, and the sections an
// issue and a pull-request description must hold. The system keeps no rules
// about these values; it only supplies them.
#pragma once

#include <string>
#include <vector>

namespace brackwater::domain {

struct GitHubPolicy {
  // Lists keep their configured order (duplicates and empty texts
  // included) and are never empty.
  std::vector<std::string> pr_title_prefixes;
  std::vector<std::string> main_branches;
  std::vector<std::string> required_sections_issue;
  std::vector<std::string> required_sections_pr;
  bool pr_title_issue_suffix_required = true;

  // The built-in policy, which configuration overlays key by key.
  static GitHubPolicy fallback();
};

}  // namespace brackwater::domain
