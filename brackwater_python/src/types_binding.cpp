// WorktreeBinding, BindingValidationResult and BindingValidationOptions.
#include <cstddef>

#include "args.hpp"
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

// ---- WorktreeBinding --------------------------------------------------------

template <std::string WorktreeBinding::* Field>
PyObject* binding_str(PyObject* self, void*) {
  return py_str(unbox<WorktreeBinding>(self).*Field).release();
}

PyObject* binding_schema_version(PyObject* self, void*) {
  return py_int(unbox<WorktreeBinding>(self).schema_version).release();
}

struct BindingArgs {
  std::string session_id;
  std::string worktree;
  std::string branch;
  std::string state_path;
  std::string git_common_dir;
  std::string main_worktree;
  std::string commit_ish;
  std::optional<int64_t> schema_version;
};
constexpr auto binding_new_table =
    constructor<BindingArgs>("WorktreeBinding", param<&BindingArgs::session_id>("session_id", as_str, required),
                             param<&BindingArgs::worktree>("worktree", as_str, required),
                             param<&BindingArgs::branch>("branch", as_str, required),
                             param<&BindingArgs::state_path>("state_path", as_str, required),
                             param<&BindingArgs::git_common_dir>("git_common_dir", as_str, required),
                             param<&BindingArgs::main_worktree>("main_worktree", as_str, required),
                             param<&BindingArgs::commit_ish>("commit_ish", as_str),
                             param<&BindingArgs::schema_version>("schema_version", as_int));

PyObject* binding_new(PyTypeObject* type, BindingArgs& a) {
  return box_new(type,
                 WorktreeBinding::create(std::move(a.session_id), a.worktree, std::move(a.branch), a.state_path,
                                         a.git_common_dir, a.main_worktree, std::move(a.commit_ish), a.schema_version))
      .release();
}

constexpr auto binding_to_dict_table = method<NoArgs>("WorktreeBinding", "to_dict");

PyObject* binding_to_dict(PyObject* self, NoArgs&) {
  auto core = binding_to_core(self, "self");
  if (!core) return nullptr;
  return json_value_to_pydict(core->to_dict()).release();
}

struct PayloadArgs {
  PyObject* payload = nullptr;
};
constexpr auto binding_from_dict_table = class_method<PayloadArgs>(
    "WorktreeBinding", "from_dict", param<&PayloadArgs::payload>("payload", as_given, required));

PyObject* binding_from_dict(PyObject* cls, PayloadArgs& a) {
  auto payload = py_obj_to_json(a.payload);
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
    getter<binding_str<&WorktreeBinding::session_id>>("session_id"),
    getter<binding_str<&WorktreeBinding::worktree>>("worktree"),
    getter<binding_str<&WorktreeBinding::branch>>("branch"),
    getter<binding_str<&WorktreeBinding::state_path>>("state_path"),
    getter<binding_str<&WorktreeBinding::git_common_dir>>("git_common_dir"),
    getter<binding_str<&WorktreeBinding::main_worktree>>("main_worktree"),
    getter<binding_str<&WorktreeBinding::commit_ish>>("commit_ish"),
    getter<binding_schema_version>("schema_version"),
    {},
};

PyMethodDef binding_methods[] = {
    method_def<binding_to_dict_table, binding_to_dict>(),
    method_def<binding_from_dict_table, binding_from_dict>(),
    {},
};

PyType_Slot binding_slots[] = {
    {Py_tp_new, new_slot<binding_new_table, binding_new>()},
    {Py_tp_dealloc, slot<box_dealloc<WorktreeBinding>>()},
    {Py_tp_repr, slot<binding_repr>()},
    {Py_tp_getset, binding_getset},
    {Py_tp_methods, binding_methods},
    {Py_tp_doc, const_cast<char*>(text_signature<binding_new_table>())},
    {},
};

PyType_Spec binding_spec = {"brackwater.api.WorktreeBinding", sizeof(Box<WorktreeBinding>), 0,
                            kFinalImmutableInstantiable, binding_slots};

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

// A WorktreeBinding object's fields, copied as they are (no normalisation).
struct AsBindingCopy {
  [[nodiscard]] bool convert(PyObject* value, const char* param, std::optional<WorktreeBinding>& out) const {
    PyRef binding_type = worktree_binding_type();
    if (!binding_type || !extract_instance(value, as_type(binding_type), param)) return false;
    out = unbox<WorktreeBinding>(value);
    return true;
  }
};

constexpr auto result_new_table = constructor<BindingValidationResult>(
    "BindingValidationResult", param<&BindingValidationResult::ok>("ok", as_bool, required),
    param<&BindingValidationResult::reason_code>("reason_code", as_str, required),
    param<&BindingValidationResult::message>("message", as_str, required),
    param<&BindingValidationResult::binding>("binding", AsBindingCopy{}));

PyObject* result_new(PyTypeObject* type, BindingValidationResult& result) {
  return box_new(type, std::move(result)).release();
}

PyGetSetDef result_getset[] = {
    getter<result_ok>("ok"),
    getter<result_reason_code>("reason_code"),
    getter<result_message>("message"),
    getter<result_binding>("binding"),
    {},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, new_slot<result_new_table, result_new>()},
    {Py_tp_dealloc, slot<box_dealloc<BindingValidationResult>>()},
    {Py_tp_getset, result_getset},
    {Py_tp_doc, const_cast<char*>(text_signature<result_new_table>())},
    {},
};

PyType_Spec result_spec = {"brackwater.api.BindingValidationResult", sizeof(Box<BindingValidationResult>), 0,
                           kFinalImmutableInstantiable, result_slots};

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

template <bool BindingValidationOptions::* Flag>
PyObject* options_get(PyObject* self, void*) {
  auto& flag = borrow_flag<BindingValidationOptions>(self);
  if (!try_share(flag)) return nullptr;
  const bool value = unbox<BindingValidationOptions>(self).*Flag;
  flag.fetch_sub(1);
  return py_bool(value).release();
}

template <bool BindingValidationOptions::* Flag>
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

constexpr auto options_new_table = constructor<BindingValidationOptions>(
    "BindingValidationOptions", param<&BindingValidationOptions::require_env_worktree>("require_env_worktree", as_bool),
    param<&BindingValidationOptions::require_git_state>("require_git_state", as_bool));

PyObject* options_new(PyTypeObject* type, BindingValidationOptions& options) {
  return box_new(type, options).release();
}

PyGetSetDef options_getset[] = {
    getter<options_get<&BindingValidationOptions::require_env_worktree>,
           options_set<&BindingValidationOptions::require_env_worktree>>("require_env_worktree"),
    getter<options_get<&BindingValidationOptions::require_git_state>,
           options_set<&BindingValidationOptions::require_git_state>>("require_git_state"),
    {},
};

PyType_Slot options_slots[] = {
    {Py_tp_new, new_slot<options_new_table, options_new>()},
    {Py_tp_dealloc, slot<box_dealloc<BindingValidationOptions>>()},
    {Py_tp_getset, options_getset},
    {Py_tp_doc, const_cast<char*>(text_signature<options_new_table>())},
    {},
};

PyType_Spec options_spec = {"brackwater.api.BindingValidationOptions", sizeof(Box<BindingValidationOptions>), 0,
                            kFinalImmutableInstantiable, options_slots};

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
  return WorktreeBinding::create(b.session_id, b.worktree, b.branch, b.state_path, b.git_common_dir, b.main_worktree,
                                 b.commit_ish, b.schema_version);
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

std::optional<BindingValidationOptions> OptionsBorrow::flags() const {
  if (!obj_) return std::nullopt;
  return unbox<BindingValidationOptions>(obj_.get());
}

bool AsOptions::convert(PyObject* value, const char* param, OptionsBorrow& out) const {
  return value == Py_None || out.acquire(value, param);
}

bool AsBinding::convert(PyObject* value, const char* param, WorktreeBinding& out) const {
  auto binding = binding_to_core(value, param);
  if (!binding) return false;
  out = *std::move(binding);
  return true;
}

void OptionsBorrow::release() noexcept {
  if (!obj_) return;
  borrow_flag<BindingValidationOptions>(obj_.get()).fetch_sub(1);
  obj_ = PyRef();
}

}  // namespace types
}  // namespace tidemark
