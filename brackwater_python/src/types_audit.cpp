// AuditRecord: one event read back from the audit log. Immutable; made only
// by read_records. The record's `extra` stays the compact JSON text the core
// holds and becomes a new Python value on every read.
#include "args.hpp"
#include "box.hpp"
#include "convert.hpp"
#include "imports.hpp"
#include "types.hpp"

namespace tidemark::types {
namespace {

using brackwater::domain::PackedAuditRecord;
using Text = PackedAuditRecord::Text;

const PackedAuditRecord& fields_of(PyObject* self) { return unbox<PackedAuditRecord>(self); }

template <Text Field>
PyObject* get_str(PyObject* self, void*) {
  return py_str(fields_of(self).text(Field)).release();
}

template <Text Field>
PyObject* get_optional_str(PyObject* self, void*) {
  const auto value = fields_of(self).optional_text(Field);
  if (!value) Py_RETURN_NONE;
  return py_str(*value).release();
}

template <std::optional<int64_t> (PackedAuditRecord::*Field)() const noexcept>
PyObject* get_optional_int(PyObject* self, void*) {
  const auto value = (fields_of(self).*Field)();
  if (!value) Py_RETURN_NONE;
  return py_int(*value).release();
}

PyObject* get_pid(PyObject* self, void*) { return py_int(fields_of(self).pid()).release(); }
PyObject* get_truncated(PyObject* self, void*) { return py_bool(fields_of(self).truncated()).release(); }

PyObject* get_extra(PyObject* self, void*) {
  const auto text = fields_of(self).optional_text(Text::extra_json);
  if (!text) Py_RETURN_NONE;
  PyRef loads = imported(Imported::json_loads);
  if (!loads) return nullptr;
  PyRef arg = py_str(*text);
  if (!arg) return nullptr;
  return PyObject_CallFunctionObjArgs(loads.get(), arg.get(), nullptr);
}

constexpr auto record_to_dict_table = method<NoArgs>("AuditRecord", "to_dict");

PyObject* record_to_dict(PyObject* self, NoArgs&) {
  return json_value_to_pydict(to_record(fields_of(self).view()).serialize()).release();
}

PyObject* record_repr(PyObject* self) {
  const auto& r = fields_of(self);
  std::string text = "AuditRecord(kind=";
  text.append(r.text(Text::kind)).append(", branch=").append(r.text(Text::branch));
  text.append(", outcome=").append(r.text(Text::outcome)).append(", timestamp=").append(r.text(Text::timestamp));
  return py_str(text + ")").release();
}

PyGetSetDef record_getset[] = {
    getter<get_str<Text::schema_version>>("schema_version"),
    getter<get_str<Text::timestamp>>("timestamp"),
    getter<get_str<Text::kind>>("kind"),
    getter<get_optional_str<Text::session_id>>("session_id"),
    getter<get_pid>("pid"),
    getter<get_optional_int<&PackedAuditRecord::parent_pid>>("parent_pid"),
    getter<get_str<Text::cwd>>("cwd"),
    getter<get_str<Text::host>>("host"),
    getter<get_str<Text::invoker>>("invoker"),
    getter<get_str<Text::branch>>("branch"),
    getter<get_str<Text::worktree>>("worktree"),
    getter<get_str<Text::outcome>>("outcome"),
    getter<get_optional_int<&PackedAuditRecord::elapsed_ms>>("elapsed_ms"),
    getter<get_optional_str<Text::correlation_id>>("correlation_id"),
    getter<get_truncated>("truncated"),
    getter<get_extra>("extra"),
    {},
};

PyMethodDef record_methods[] = {
    method_def<record_to_dict_table, record_to_dict>(),
    {},
};

PyType_Slot record_slots[] = {
    {Py_tp_dealloc, slot<box_dealloc<PackedAuditRecord>>()},
    {Py_tp_repr, slot<record_repr>()},
    {Py_tp_getset, record_getset},
    {Py_tp_methods, record_methods},
    {},
};

PyType_Spec record_spec = {"brackwater.api.AuditRecord", sizeof(Box<PackedAuditRecord>), 0,
                           kFinalImmutableNotInstantiable, record_slots};

}  // namespace

PyRef audit_record_type() {
  static PyObject* type = nullptr;
  return type_once(type, record_spec);
}

PyRef audit_record_tuple(brackwater::infrastructure::AuditRecords records) {
  PyRef type = audit_record_type();
  if (!type) return type;
  auto* as_type = reinterpret_cast<PyTypeObject*>(type.get());
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(records.size())));
  for (size_t i = 0; tuple && i < records.size(); ++i) {
    PyRef item = box_adopt(as_type, std::move(records[i]));
    if (!item) return {};
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return tuple;
}

}  // namespace tidemark::types
