// The module's classes: type objects (made once per process) and the
// conversions between instances and core records.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "domain/audit.hpp"
#include "domain/binding.hpp"
#include "domain/git_worktree.hpp"
#include "domain/github_policy.hpp"
#include "domain/porcelain.hpp"
#include "infrastructure/audit_reader.hpp"
#include "py.hpp"

namespace tidemark::types {

PyRef worktree_binding_type();
PyRef binding_validation_result_type();
PyRef binding_validation_options_type();
PyRef worktree_binding_store_type();
PyRef git_worktree_type();
PyRef worktree_precondition_result_type();
PyRef audit_record_type();
PyRef worktree_list_entry_type();
PyRef github_policy_type();

// A new WorktreeBinding object holding the record's fields unchanged.
PyRef wrap_binding(brackwater::domain::WorktreeBinding binding);
// A tuple of new WorktreeBinding objects.
PyRef binding_tuple(std::vector<brackwater::domain::WorktreeBinding> bindings);
// A tuple of new AuditRecord objects, the records moved in, in order.
PyRef audit_record_tuple(brackwater::infrastructure::AuditRecords records);
// A new BindingValidationResult object holding a copy of the result.
PyRef wrap_validation_result(brackwater::domain::BindingValidationResult result);

// New GitWorktree / WorktreePreconditionResult objects holding the records,
// and a tuple of new WorktreeListEntry objects.
PyRef wrap_git_worktree(brackwater::domain::GitWorktree worktree);
PyRef wrap_precondition_result(brackwater::domain::WorktreePreconditionResult result);
PyRef worktree_entry_tuple(std::vector<brackwater::domain::WorktreeListEntry> entries);

// A parameter that takes a GitWorktree object (and nothing else, None
// included) as a copy of its record.
struct AsGitWorktree {
  static bool convert(PyObject* value, const char* param, brackwater::domain::GitWorktree& out);
};
// A new GitHubPolicy object holding its own copy of the policy.
PyRef wrap_github_policy(brackwater::domain::GitHubPolicy policy);
// A new frozenset of the texts (duplicates collapse).
PyRef frozenset_of_strs(const std::vector<std::string>& items);

// Checks that `value` is a WorktreeBinding (TypeError with the note for
// `param` otherwise) and returns its core record, made anew through the
// record's constructor: paths normalised again, schema version kept.
[[nodiscard]] std::optional<brackwater::domain::WorktreeBinding> binding_to_core(PyObject* value, const char* param);

// Argument converter: a WorktreeBinding object into its core record (as
// binding_to_core).
struct AsBinding {
  [[nodiscard]] bool convert(PyObject* value, const char* param, brackwater::domain::WorktreeBinding& out) const;
};
inline constexpr AsBinding as_binding;

// A shared borrow of a BindingValidationOptions object, held while its
// flags are read; released by the destructor.
class OptionsBorrow {
 public:
  OptionsBorrow() = default;
  OptionsBorrow(const OptionsBorrow&) = delete;
  OptionsBorrow& operator=(const OptionsBorrow&) = delete;
  // Must run with the interpreter lock held.
  ~OptionsBorrow() { release(); }

  // Checks the type and takes the borrow; TypeError or RuntimeError
  // "Already mutably borrowed" (with the note for `param`) otherwise.
  [[nodiscard]] bool acquire(PyObject* value, const char* param);
  // The two flags, read under the borrow; nullopt when nothing is borrowed.
  std::optional<brackwater::domain::BindingValidationOptions> flags() const;
  // Gives the borrow and the reference up; call before the interpreter lock
  // is released.
  void release() noexcept;

 private:
  PyRef obj_;
};

// Argument converter: None leaves the borrow empty; otherwise acquire().
struct AsOptions {
  [[nodiscard]] bool convert(PyObject* value, const char* param, OptionsBorrow& out) const;
};
inline constexpr AsOptions as_options;

// An options parameter's default (no object) in a text signature.
inline std::string default_text(const OptionsBorrow&) { return "None"; }

}  // namespace tidemark::types
