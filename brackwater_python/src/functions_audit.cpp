// record_event, read_records and reap_rotation_sentinel. All three keep the
// interpreter lock, also while the writer waits for the live file's lock.
#include "convert.hpp"
#include "functions.hpp"
#include "infrastructure/audit_reader.hpp"
#include "infrastructure/audit_writer.hpp"
#include "py.hpp"
#include "types.hpp"

namespace tidemark::functions {
namespace {

namespace core = brackwater::infrastructure;
using brackwater::domain::AuditEvent;
using brackwater::domain::UtcInstant;

PyObject* record_event_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {
      {"kind", true, false},       {"branch", true, false},         {"worktree", true, false},
      {"invoker", true, false},    {"outcome", true, false},        {"session_id", false, true},
      {"elapsed_ms", false, true}, {"correlation_id", false, true}, {"extra", false, true},
      {"strict", false, true},
  };
  PyObject* given[10];
  if (!match_args({"record_event()", params}, args, nargs, kwnames, given)) return nullptr;
  AuditEvent event;
  bool strict = false;
  if (!extract_str(given[0], "kind", event.kind) || !extract_str(given[1], "branch", event.branch) ||
      !extract_str(given[2], "worktree", event.worktree) || !extract_str(given[3], "invoker", event.invoker) ||
      !extract_str(given[4], "outcome", event.outcome) ||
      !extract_optional_str(given[5], "session_id", event.session_id) ||
      !extract_optional_i64(given[6], "elapsed_ms", event.elapsed_ms) ||
      !extract_optional_str(given[7], "correlation_id", event.correlation_id) ||
      (given[9] != nullptr && !extract_bool(given[9], "strict", strict))) {
    return nullptr;
  }
  if (given[8] != nullptr && given[8] != Py_None) {
    event.extra = py_obj_to_json(given[8]);
    if (!event.extra) return nullptr;
  }
  auto recorded = core::record_event(event);
  if (!recorded && strict) {
    set_error(PyExc_RuntimeError, std::string(core::kAuditWriteFailedCode) + ": " + recorded.error().display());
    return nullptr;
  }
  Py_RETURN_NONE;
}

// A datetime argument that may be absent.
bool optional_instant(PyObject* value, std::optional<UtcInstant>& out) {
  if (value == nullptr || value == Py_None) return true;
  out = py_datetime_to_utc(value);
  return out.has_value();
}

PyObject* read_records_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {
      {"branch", false, false}, {"worktree", false, false}, {"since", false, false}, {"until", false, false}};
  PyObject* given[4];
  if (!match_args({"read_records()", params}, args, nargs, kwnames, given)) return nullptr;
  std::optional<std::string> branch, worktree;
  std::optional<UtcInstant> since, until;
  if (!extract_optional_str(given[0], "branch", branch) || !extract_optional_str(given[1], "worktree", worktree) ||
      !optional_instant(given[2], since) || !optional_instant(given[3], until)) {
    return nullptr;
  }
  return types::audit_record_tuple(core::read_records(branch, worktree, since, until)).release();
}

PyObject* reap_rotation_sentinel_impl(PyObject*, PyObject*) {
  core::reap_rotation_sentinel();
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef record_event = fastcall_def<record_event_impl>(
    "record_event",
    "record_event(kind, branch, worktree, invoker, outcome, *, session_id=None, elapsed_ms=None, "
    "correlation_id=None, extra=None, strict=False)\n--\n\n");
PyMethodDef read_records = fastcall_def<read_records_impl>(
    "read_records", "read_records(branch=None, worktree=None, since=None, until=None)\n--\n\n");
PyMethodDef reap_rotation_sentinel =
    noargs_def<reap_rotation_sentinel_impl>("reap_rotation_sentinel", "reap_rotation_sentinel()\n--\n\n");

}  // namespace tidemark::functions
