#include "infrastructure/github_policy_loader.hpp"

#include <gtest/gtest.h>

namespace {

using namespace brackwater::infrastructure;
using brackwater::domain::GitHubPolicy;

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += "[" + item + "]";
  return out;
}

// The five fields in one line: prefixes | branches | issue | pr | flag.
std::string describe(const GitHubPolicy& p) {
  return joined(p.pr_title_prefixes) + " | " + joined(p.main_branches) + " | " + joined(p.required_sections_issue) +
         " | " + joined(p.required_sections_pr) + " | " + (p.pr_title_issue_suffix_required ? "true" : "false");
}

TEST(GitHubPolicy, EachKeyFallsBackOnItsOwn) {
  const std::string prefixes = "[feat][fix][chore][docs][refactor][test][perf][build][ci]";
  const std::string issue = "[Goal][Background][Scope][Acceptance Criteria]";
  const std::string pr = "[Summary][Linked Issues][Test Plan][Breaking Changes]";
  auto policy = [&](std::string_view branches, std::string_view i, std::string_view p, std::string_view flag,
                    std::string_view pre = "") {
    return std::string(pre.empty() ? prefixes : pre) + " | " + std::string(branches) + " | " +
           std::string(i.empty() ? issue : i) + " | " + std::string(p.empty() ? pr : p) + " | " + std::string(flag);
  };
  const std::string fallback = policy("[main][master]", "", "", "true");
  const std::string t = "[tool.plowline.github_policy]\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", fallback},
      {"[tool.plowline]\nproject_id = 'x'\n", fallback},
      {t + "main_branches = ['trunk']\n", policy("[trunk]", "", "", "true")},
      {t + "main_branches = []\n", fallback},
      {t + "main_branches = [1, 2]\n", fallback},
      {t + "main_branches = ['main', 5, '', 'main']\n", policy("[main][][main]", "", "", "true")},
      {t + "main_branches = 'main'\n", fallback},
      {t + "pr_title_issue_suffix_required = false\n", policy("[main][master]", "", "", "false")},
      {t + "pr_title_issue_suffix_required = 'false'\n", fallback},
      {t + "pr_title_prefixes = [' x ', 'y']\n", policy("[main][master]", "", "", "true", "[ x ][y]")},
      {t + "required_sections = {issue = ['Why']}\n", policy("[main][master]", "[Why]", "", "true")},
      {t + "[tool.plowline.github_policy.required_sections]\npr = ['What']\nissue = 3\n",
       policy("[main][master]", "", "[What]", "true")},
      {t + "required_sections = [['Why']]\n", fallback},
      {"[tool.plowline]\ngithub_policy = 'strict'\n", fallback},
      {"tool = {plowline = {github_policy = {main_branches = ['dev']}}}\n", policy("[dev]", "", "", "true")},
      {"[tool.plowline.github_policy\nmain_branches = ['x']\n", fallback},
      {t + "main_branches = ['\xff']\n", fallback},
      {std::string(100000, '['), fallback},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(describe(github_policy_from_pyproject(text, "/p/pyproject.toml")), expected) << text.substr(0, 60);
  }
}

}  // namespace
