// record_event, read_records and reap_rotation_sentinel. All three keep the
// interpreter lock, also while the writer waits for the live file's lock
// (a wait that Ctrl-C can end: wait_hook.hpp).
#include "args.hpp"
#include "convert.hpp"
#include "functions.hpp"
#include "infrastructure/audit_reader.hpp"
#include "infrastructure/audit_writer.hpp"
#include "types.hpp"

namespace tidemark::functions {
namespace {

namespace core = brackwater::infrastructure;
using brackwater::domain::AuditEvent;
using brackwater::domain::UtcInstant;

// A datetime, read through its isoformat(); its own errors, no note.
struct AsDatetime {
  static bool convert(PyObject* value, const char*, std::optional<UtcInstant>& out) {
    out = py_datetime_to_utc(value);
    return out.has_value();
  }
};
constexpr AsDatetime as_datetime;

struct RecordArgs {
  std::string kind;
  std::string branch;
  std::string worktree;
  std::string invoker;
  std::string outcome;
  std::optional<std::string> session_id;
  std::optional<int64_t> elapsed_ms;
  std::optional<std::string> correlation_id;
  PyObject* extra = nullptr;  // converted to JSON once every argument is in
  bool strict = false;
};
constexpr auto record_event_table = function<RecordArgs>(
    "record_event",  //
    param<&RecordArgs::kind>("kind", as_str, required), param<&RecordArgs::branch>("branch", as_str, required),
    param<&RecordArgs::worktree>("worktree", as_str, required),
    param<&RecordArgs::invoker>("invoker", as_str, required), param<&RecordArgs::outcome>("outcome", as_str, required),
    kwonly<&RecordArgs::session_id>("session_id", as_str), kwonly<&RecordArgs::elapsed_ms>("elapsed_ms", as_int),
    kwonly<&RecordArgs::correlation_id>("correlation_id", as_str), kwonly<&RecordArgs::extra>("extra", as_object),
    kwonly<&RecordArgs::strict>("strict", as_bool));

PyObject* record_event_impl(PyObject*, RecordArgs& a) {
  AuditEvent event{std::move(a.kind),    std::move(a.branch),         std::move(a.worktree),
                   std::move(a.invoker), std::move(a.outcome),        std::move(a.session_id),
                   a.elapsed_ms,         std::move(a.correlation_id), std::nullopt};
  if (a.extra != nullptr) {
    event.extra = py_obj_to_json(a.extra);  // refused whatever `strict` says
    if (!event.extra) return nullptr;
  }
  auto recorded = core::record_event(event);
  if (!recorded && a.strict) {
    set_error(PyExc_RuntimeError, std::string(core::kAuditWriteFailedCode) + ": " + recorded.error().display());
    return nullptr;
  }
  Py_RETURN_NONE;
}

struct ReadArgs {
  std::optional<std::string> branch;
  std::optional<std::string> worktree;
  std::optional<UtcInstant> since;
  std::optional<UtcInstant> until;
};
constexpr auto read_records_table = function<ReadArgs>(
    "read_records", param<&ReadArgs::branch>("branch", as_str), param<&ReadArgs::worktree>("worktree", as_str),
    param<&ReadArgs::since>("since", as_datetime), param<&ReadArgs::until>("until", as_datetime));

PyObject* read_records_impl(PyObject*, ReadArgs& a) {
  return types::audit_record_tuple(core::read_records(a.branch, a.worktree, a.since, a.until)).release();
}

constexpr auto reap_table = function<NoArgs>("reap_rotation_sentinel");

PyObject* reap_rotation_sentinel_impl(PyObject*, NoArgs&) {
  core::reap_rotation_sentinel();
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef record_event = method_def<record_event_table, record_event_impl>();
PyMethodDef read_records = method_def<read_records_table, read_records_impl>();
PyMethodDef reap_rotation_sentinel = method_def<reap_table, reap_rotation_sentinel_impl>();

}  // namespace tidemark::functions
