// Objects the module imports from Python, cached per interpreter: each
// interpreter has its own pathlib, collections.abc and json, and an object
// of one interpreter handed to another is of a foreign class (and dangles
// once its interpreter is gone). The module's own type objects are not
// here: they are made once per process.
#pragma once

#include <Python.h>

#include <cstdint>

#include "py.hpp"

namespace tidemark {

enum class Imported : std::uint8_t { path_class, sequence_class, json_dumps, json_loads };

// The object of the current interpreter (a new reference); null with the
// import's error set. A failed import is tried again on the next need.
PyRef imported(Imported which);

// Drops the current interpreter's cache; run when a module object of that
// interpreter is freed (its next use imports again).
void forget_imports_of_current_interpreter() noexcept;

}  // namespace tidemark
