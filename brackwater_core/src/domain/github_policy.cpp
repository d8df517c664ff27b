#include "domain/github_policy.hpp"

#include "domain/git_worktree.hpp"

namespace brackwater::domain {

GitHubPolicy GitHubPolicy::fallback() {
  return GitHubPolicy{
      .pr_title_prefixes = {"feat", "fix", "chore", "docs", "refactor", "test", "perf", "build", "ci"},
      .main_branches = {kDefaultMainBranches.begin(), kDefaultMainBranches.end()},
      .required_sections_issue = {"Goal", "Background", "Scope", "Acceptance Criteria"},
      .required_sections_pr = {"Summary", "Linked Issues", "Test Plan", "Breaking Changes"},
      .pr_title_issue_suffix_required = true,
  };
}

}  // namespace brackwater::domain
