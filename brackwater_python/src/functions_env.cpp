// The two functions that hand out environment-variable names.
#include "functions.hpp"
#include "infrastructure/env_keys.hpp"
#include "py.hpp"

namespace tidemark::functions {
namespace {

PyObject* worktree_identity_env_vars_impl(PyObject*, PyObject*) {
  return py_tuple_of_strs(brackwater::infrastructure::worktree_identity_env_vars()).release();
}

PyObject* brackwater_env_vars_impl(PyObject*, PyObject*) {
  return py_tuple_of_strs(brackwater::infrastructure::brackwater_env_vars()).release();
}

}  // namespace

PyMethodDef worktree_identity_env_vars = noargs_def<worktree_identity_env_vars_impl>(
    "worktree_identity_env_vars", "worktree_identity_env_vars()\n--\n\n");
PyMethodDef brackwater_env_vars = noargs_def<brackwater_env_vars_impl>(
    "brackwater_env_vars", "brackwater_env_vars()\n--\n\n");

}  // namespace tidemark::functions
