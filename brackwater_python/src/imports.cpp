#include "imports.hpp"

#include <array>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "py.hpp"

namespace tidemark {
namespace {

struct Source {
  const char* module;
  const char* attribute;
};

constexpr Source kSources[] = {
    {"pathlib", "Path"},
    {"collections.abc", "Sequence"},
    {"json", "dumps"},
    {"json", "loads"},
};
constexpr size_t kCount = std::size(kSources);

using Slots = std::array<PyObject*, kCount>;  // strong references

// Interpreter ids are never reused within a process, so an entry can only
// ever be found by the interpreter it belongs to. The mutex is held only
// around the map, never around an import (which runs Python code).
std::mutex cache_mutex;
std::unordered_map<int64_t, Slots>& cache() {
  static auto* map = new std::unordered_map<int64_t, Slots>();  // never destroyed: see forget_*
  return *map;
}

int64_t current_interpreter_id() { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

PyRef import_attr(const Source& source) {
  PyRef module = PyRef::steal(PyImport_ImportModule(source.module));
  if (!module) return {};
  return PyRef::steal(PyObject_GetAttrString(module.get(), source.attribute));
}

}  // namespace

PyRef imported(Imported which) {
  const auto index = static_cast<size_t>(which);
  const int64_t id = current_interpreter_id();
  {
    std::lock_guard lock(cache_mutex);
    auto it = cache().find(id);
    if (it != cache().end() && it->second[index] != nullptr) return PyRef::borrow(it->second[index]);
  }
  PyRef fresh = import_attr(kSources[index]);
  if (!fresh) return {};
  std::lock_guard lock(cache_mutex);
  PyObject*& slot = cache()[id][index];  // value-initialised: all nullptr
  // Another thread of this interpreter may have filled it meanwhile; keep
  // the first (dropping ours releases a reference, which runs no code that
  // could come back here: a module attribute outlives it).
  if (slot == nullptr) slot = fresh.release();
  return PyRef::borrow(slot);
}

void forget_imports_of_current_interpreter() noexcept {
  Slots slots{};
  {
    std::lock_guard lock(cache_mutex);
    auto it = cache().find(current_interpreter_id());
    if (it == cache().end()) return;
    slots = it->second;
    cache().erase(it);
  }
  for (PyObject* obj : slots) Py_XDECREF(obj);
}

}  // namespace tidemark
