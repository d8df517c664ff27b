// pyproject.toml text -> GitHub policy; never fails and never leaves a list
// empty.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "infrastructure/github_policy_loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto policy = brackwater::infrastructure::github_policy_from_pyproject(text, "/fuzz/pyproject.toml");
  if (policy.pr_title_prefixes.empty() || policy.main_branches.empty() || policy.required_sections_issue.empty() ||
      policy.required_sections_pr.empty()) {
    std::abort();
  }
  return 0;
}
