// The module's two exception types and the mapping of core errors that
// several areas share. Core errors are told apart by their kind, never by
// their text.
#pragma once

#include <Python.h>

#include <string>

#include "infrastructure/binding_store.hpp"
#include "infrastructure/worktree_base_resolver.hpp"
#include "py.hpp"

namespace tidemark {

// The type objects, created once per process on first use (new references).
PyRef worktree_list_error_type();
PyRef project_id_invalid_error_type();

// Raises `type(message)` with `reason_code` set on the instance; a failure
// to set the attribute is ignored. Always returns nullptr.
PyObject* raise_with_reason_code(PyObject* type, const std::string& message, const std::string& code);

// Raises what a project error maps to: RuntimeError "{code}: {message}" for
// an unreadable configuration, else ProjectIdInvalidError with reason_code.
// Always returns nullptr.
PyObject* raise_project_error(const brackwater::infrastructure::ProjectResolveError& error);

// Raises RuntimeError with the store error's text (no reason_code). Always
// returns nullptr.
PyObject* store_err(const brackwater::infrastructure::BindingStoreError& error);

// Raises RuntimeError "WORKTREE_CONFIG_UNREADABLE: {detail}" for an
// unreadable config/worktree.yaml, else what the project error maps to.
// Always returns nullptr.
PyObject* worktree_py_err(const brackwater::infrastructure::WorktreeBaseError& error);

}  // namespace tidemark
