// The two functions that hand out environment-variable names.
#include "args.hpp"
#include "functions.hpp"
#include "infrastructure/env_keys.hpp"

namespace tidemark::functions {
namespace {

constexpr auto identity_table = function<NoArgs>("worktree_identity_env_vars");
constexpr auto all_table = function<NoArgs>("brackwater_env_vars");

PyObject* worktree_identity_env_vars_impl(PyObject*, NoArgs&) {
  return py_tuple_of_strs(brackwater::infrastructure::worktree_identity_env_vars()).release();
}

PyObject* brackwater_env_vars_impl(PyObject*, NoArgs&) {
  return py_tuple_of_strs(brackwater::infrastructure::brackwater_env_vars()).release();
}

}  // namespace

PyMethodDef worktree_identity_env_vars = method_def<identity_table, worktree_identity_env_vars_impl>();
PyMethodDef brackwater_env_vars = method_def<all_table, brackwater_env_vars_impl>();

}  // namespace tidemark::functions
