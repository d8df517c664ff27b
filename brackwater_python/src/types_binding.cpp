// WorktreeBinding, BindingValidationResult and BindingValidationOptions.
#include <cstddef>

#include "box.hpp"
#include "convert.hpp"
#include "types.hpp"

namespace tidemark {

PyRef type_once(PyObject*& slot, PyType_Spec& spec) {
  if (slot == nullptr) slot = PyType_FromSpec(&spec);
  return PyRef::borrow(slot);
}

namespace types {
namespace {

using brackwater::domain::BindingValidationOptions;
using brackwater::domain::BindingValidationResult;
using brackwater::domain::WorktreeBinding;

constexpr unsigned long kFinalImmutable = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

PyTypeObject* as_type(const PyRef& ref) { return reinterpret_cast<PyTypeObject*>(ref.get()); }

// ---- WorktreeBinding --------------------------------------------------------

template <std::string WorktreeBinding::*Field>
PyObject* binding_str(PyObject* self, void*) {
  return py_str(unbox<WorktreeBinding>(self).*Field).release();
}

PyObject* binding_schema_version(PyObject* self, void*) {
  return py_int(unbox<WorktreeBinding>(self).schema_version).release();
}

PyObject* binding_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Param params[] = {
      {"session_id", true, false}, {"worktree", true, false},       {"branch", true, false},
      {"state_path", true, false}, {"git_common_dir", true, false}, {"main_worktree", true, false},
      {"commit_ish", false, false}, {"schema_version", false, false},
  };
  PyObject* given[8];
  if (!match_args({"WorktreeBinding.__new__()", params}, args, kwargs, given)) return nullptr;
  std::string text[7];
  for (int i = 0; i < 7; ++i) {
    if (given[i] != nullptr && !extract_str(given[i], params[i].name, text[i])) return nullptr;
  }
  std::optional<int64_t> schema_version;
  if (!extract_optional_i64(given[7], "schema_version", schema_version)) return nullptr;
  return box_new(type, WorktreeBinding::create(std::move(text[0]), std::move(text[1]), std::move(text[2]),
                                               std::move(text[3]), std::move(text[4]), std::move(text[5]),
                                               std::move(text[6]), schema_version))
      .release();
}

PyObject* binding_to_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!match_args({"WorktreeBinding.to_dict()", {}}, args, nargs, kwnames, {})) return nullptr;
  auto core = binding_to_core(self, "self");
  if (!core) return nullptr;
  return json_value_to_pydict(core->to_dict()).release();
}

PyObject* binding_from_dict(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"payload", true, false}};
  PyObject* given[1];
  if (!match_args({"WorktreeBinding.from_dict()", params}, args, nargs, kwnames, given)) return nullptr;
  auto payload = py_obj_to_json(given[0]);
  if (!payload) return nullptr;
  auto binding = WorktreeBinding::from_dict(*payload);
  if (!binding) {
    set_error(PyExc_ValueError, binding.error());
    return nullptr;
  }
  return box_new(reinterpret_cast<PyTypeObject*>(cls), *std::move(binding)).release();
}

PyObject* binding_repr(PyObject* self) {
  const auto& b = unbox<WorktreeBinding>(self);
  return py_str("WorktreeBinding(session_id=" + b.session_id + ", branch=" + b.branch + ")").release();
}

PyGetSetDef binding_getset[] = {
    {"session_id", binding_str<&WorktreeBinding::session_id>, nullptr, nullptr, nullptr},
    {"worktree", binding_str<&WorktreeBinding::worktree>, nullptr, nullptr, nullptr},
    {"branch", binding_str<&WorktreeBinding::branch>, nullptr, nullptr, nullptr},
    {"state_path", binding_str<&WorktreeBinding::state_path>, nullptr, nullptr, nullptr},
    {"git_common_dir", binding_str<&WorktreeBinding::git_common_dir>, nullptr, nullptr, nullptr},
    {"main_worktree", binding_str<&WorktreeBinding::main_worktree>, nullptr, nullptr, nullptr},
    {"commit_ish", binding_str<&WorktreeBinding::commit_ish>, nullptr, nullptr, nullptr},
    {"schema_version", binding_schema_version, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef binding_methods[] = {
    fastcall_def<binding_to_dict>("to_dict", "to_dict($self)\n--\n\n"),
    {"from_dict",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<binding_from_dict>)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_dict($cls, payload)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot binding_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&binding_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<WorktreeBinding>)},
    {Py_tp_repr, reinterpret_cast<void*>(&binding_repr)},
    {Py_tp_getset, binding_getset},
    {Py_tp_methods, binding_methods},
    {Py_tp_doc,
     const_cast<char*>("WorktreeBinding(session_id, worktree, branch, state_path, git_common_dir, main_worktree, "
                       "commit_ish=\"\", schema_version=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec binding_spec = {"brackwater.api.WorktreeBinding", sizeof(Box<WorktreeBinding>), 0, kFinalImmutable,
                            binding_slots};

// ---- BindingValidationResult -----------------------------------------------

PyObject* result_ok(PyObject* self, void*) { return py_bool(unbox<BindingValidationResult>(self).ok).release(); }
PyObject* result_reason_code(PyObject* self, void*) {
  return py_str(unbox<BindingValidationResult>(self).reason_code).release();
}
PyObject* result_message(PyObject* self, void*) {
  return py_str(unbox<BindingValidationResult>(self).message).release();
}
PyObject* result_binding(PyObject* self, void*) {
  const auto& binding = unbox<BindingValidationResult>(self).binding;
  if (!binding) Py_RETURN_NONE;
  return wrap_binding(*binding).release();
}

PyObject* result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Param params[] = {
      {"ok", true, false}, {"reason_code", true, false}, {"message", true, false}, {"binding", false, false}};
  PyObject* given[4];
  if (!match_args({"BindingValidationResult.__new__()", params}, args, kwargs, given)) return nullptr;
  BindingValidationResult result;
  if (!extract_bool(given[0], "ok", result.ok) || !extract_str(given[1], "reason_code", result.reason_code) ||
      !extract_str(given[2], "message", result.message)) {
    return nullptr;
  }
  if (given[3] != nullptr && given[3] != Py_None) {
    PyRef binding_type = worktree_binding_type();
    if (!binding_type || !extract_instance(given[3], as_type(binding_type), "binding")) return nullptr;
    result.binding = unbox<WorktreeBinding>(given[3]);
  }
  return box_new(type, std::move(result)).release();
}

PyGetSetDef result_getset[] = {
    {"ok", result_ok, nullptr, nullptr, nullptr},
    {"reason_code", result_reason_code, nullptr, nullptr, nullptr},
    {"message", result_message, nullptr, nullptr, nullptr},
    {"binding", result_binding, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<BindingValidationResult>)},
    {Py_tp_getset, result_getset},
    {Py_tp_doc, const_cast<char*>("BindingValidationResult(ok, reason_code, message, binding=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec result_spec = {"brackwater.api.BindingValidationResult", sizeof(Box<BindingValidationResult>), 0,
                           kFinalImmutable, result_slots};

// ---- BindingValidationOptions ----------------------------------------------

// Reads take a shared borrow, writes an exclusive one; a conflict (possible
// only when Python code runs inside an access, or across threads) raises.
bool try_share(std::atomic<int>& flag) {
  int seen = flag.load();
  while (seen >= 0) {
    if (flag.compare_exchange_weak(seen, seen + 1)) return true;
  }
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  return false;
}

bool try_exclusive(std::atomic<int>& flag) {
  int expected = 0;
  if (flag.compare_exchange_strong(expected, -1)) return true;
  PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  return false;
}

template <bool BindingValidationOptions::*Flag>
PyObject* options_get(PyObject* self, void*) {
  auto& flag = borrow_flag<BindingValidationOptions>(self);
  if (!try_share(flag)) return nullptr;
  const bool value = unbox<BindingValidationOptions>(self).*Flag;
  flag.fetch_sub(1);
  return py_bool(value).release();
}

template <bool BindingValidationOptions::*Flag>
int options_set(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    return -1;
  }
  auto& flag = borrow_flag<BindingValidationOptions>(self);
  if (!try_exclusive(flag)) return -1;
  bool converted = false;
  const bool ok = extract_bool(value, "v", converted);
  if (ok) unbox<BindingValidationOptions>(self).*Flag = converted;
  flag.store(0);
  return ok ? 0 : -1;
}

PyObject* options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Param params[] = {{"require_env_worktree", false, false}, {"require_git_state", false, false}};
  PyObject* given[2];
  if (!match_args({"BindingValidationOptions.__new__()", params}, args, kwargs, given)) return nullptr;
  BindingValidationOptions options;
  if ((given[0] != nullptr && !extract_bool(given[0], "require_env_worktree", options.require_env_worktree)) ||
      (given[1] != nullptr && !extract_bool(given[1], "require_git_state", options.require_git_state))) {
    return nullptr;
  }
  return box_new(type, options).release();
}

PyGetSetDef options_getset[] = {
    {"require_env_worktree", options_get<&BindingValidationOptions::require_env_worktree>,
     options_set<&BindingValidationOptions::require_env_worktree>, nullptr, nullptr},
    {"require_git_state", options_get<&BindingValidationOptions::require_git_state>,
     options_set<&BindingValidationOptions::require_git_state>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot options_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&options_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<BindingValidationOptions>)},
    {Py_tp_getset, options_getset},
    {Py_tp_doc,
     const_cast<char*>("BindingValidationOptions(require_env_worktree=False, require_git_state=False)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec options_spec = {"brackwater.api.BindingValidationOptions", sizeof(Box<BindingValidationOptions>), 0,
                            kFinalImmutable, options_slots};

}  // namespace

PyRef worktree_binding_type() {
  static PyObject* type = nullptr;
  return type_once(type, binding_spec);
}

PyRef binding_validation_result_type() {
  static PyObject* type = nullptr;
  return type_once(type, result_spec);
}

PyRef binding_validation_options_type() {
  static PyObject* type = nullptr;
  return type_once(type, options_spec);
}

PyRef wrap_binding(WorktreeBinding binding) {
  PyRef type = worktree_binding_type();
  if (!type) return type;
  return box_new(as_type(type), std::move(binding));
}

PyRef binding_tuple(std::vector<WorktreeBinding> bindings) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(bindings.size())));
  for (size_t i = 0; tuple && i < bindings.size(); ++i) {
    PyRef item = wrap_binding(std::move(bindings[i]));
    if (!item) return {};
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return tuple;
}

PyRef wrap_validation_result(BindingValidationResult result) {
  PyRef type = binding_validation_result_type();
  if (!type) return type;
  return box_new(as_type(type), std::move(result));
}

std::optional<WorktreeBinding> binding_to_core(PyObject* value, const char* param) {
  PyRef type = worktree_binding_type();
  if (!type || !extract_instance(value, as_type(type), param)) return std::nullopt;
  const auto& b = unbox<WorktreeBinding>(value);
  return WorktreeBinding::create(b.session_id, b.worktree, b.branch, b.state_path, b.git_common_dir,
                                 b.main_worktree, b.commit_ish, b.schema_version);
}

bool OptionsBorrow::acquire(PyObject* value, const char* param) {
  PyRef type = binding_validation_options_type();
  if (!type || !extract_instance(value, as_type(type), param)) return false;
  if (!try_share(borrow_flag<BindingValidationOptions>(value))) {
    add_param_note(param);
    return false;
  }
  obj_ = PyRef::borrow(value);
  return true;
}

BindingValidationOptions OptionsBorrow::flags() const { return unbox<BindingValidationOptions>(obj_.get()); }

void OptionsBorrow::release() noexcept {
  if (!obj_) return;
  borrow_flag<BindingValidationOptions>(obj_.get()).fetch_sub(1);
  obj_ = PyRef();
}

}  // namespace types
}  // namespace tidemark
