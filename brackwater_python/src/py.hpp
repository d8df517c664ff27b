// Our toolkit over the limited C API: owning references, argument matching
// and extraction with the module's exact error texts, result builders, and
// release of the interpreter lock.
#pragma once

#include <Python.h>

#include "support/call_environment.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tidemark {

// Owns one strong reference; move-only. Every new reference is held in one
// of these, so no scope that can fail holds a bare owned PyObject*. Never
// dropped unread: an empty one is a raised exception.
class [[nodiscard]] PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---- argument matching ------------------------------------------------------

// What the matcher needs of one parameter. Parameters are listed in
// signature order; keyword-only ones come after every positional-or-keyword
// one. Tables (args.hpp) make these; nothing else should.
struct Param {
  const char* name;
  bool required;
  bool keyword_only;
};

// A callable's parameters and the name its argument errors use:
// "name()" for a module function (owner nullptr), "Owner.name()" otherwise.
struct Signature {
  const char* owner;
  const char* name;
  std::span<const Param> params;

  std::string display() const;
};

// Matches a vectorcall's arguments to `sig`; `out` gets one borrowed
// reference per parameter (nullptr where not given). On failure a TypeError
// with the module's text is set and false returned.
[[nodiscard]] bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              std::span<PyObject*> out);

// The same for the (tuple, dict) form that type constructors receive.
[[nodiscard]] bool match_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// ---- argument extraction (each adds the note "while processing '<name>'") ---

// A str that encodes as UTF-8.
[[nodiscard]] bool extract_str(PyObject* value, const char* param, std::string& out);
// Absent (nullptr) or None gives nullopt; otherwise as extract_str.
[[nodiscard]] bool extract_optional_str(PyObject* value, const char* param, std::optional<std::string>& out);
// True, False, or a numpy boolean scalar (through its __bool__); never an int.
[[nodiscard]] bool extract_bool(PyObject* value, const char* param, bool& out);
// An int that fits 64 signed bits; absent or None gives nullopt.
[[nodiscard]] bool extract_optional_i64(PyObject* value, const char* param, std::optional<int64_t>& out);
// An instance of exactly `type` (the module's classes are final).
[[nodiscard]] bool extract_instance(PyObject* value, PyTypeObject* type, const char* param);

// Sets `type` with `text`, whole (a NUL inside does not cut it short).
void set_error(PyObject* type, std::string_view text);

// Sets TypeError "'<type>' object is not an instance of '<expected>'"
// (or "'None' is not an instance of '<expected>'").
void set_wrong_type(PyObject* value, const char* expected);
// Attaches a note to the exception currently set, through its add_note.
void add_note_to_current(const std::string& note);
// "while processing '<param>'" on the current exception.
void add_param_note(const char* param);

// Text of a str that encodes as UTF-8; nullopt with the interpreter's error
// set otherwise. No type check.
std::optional<std::string> utf8_of(PyObject* str);

// ---- results ----------------------------------------------------------------

PyRef py_str(std::string_view text);
PyRef py_bool(bool value);
PyRef py_int(int64_t value);
PyRef py_tuple_of_strs(const std::vector<std::string>& items);
// pathlib.Path(text), with the current interpreter's class.
PyRef py_path(std::string_view text);

// Qualified name of an object's type ("" when it cannot be read).
std::string type_qualname(PyObject* value);

// ---- the interpreter lock ---------------------------------------------------

// Whether the interpreter may run its signal handlers on the calling thread,
// which holds the interpreter lock: the main thread of the main interpreter,
// wherever the host started it, as the interpreter itself tells it. Where it
// cannot be told (threading not imported yet, before 3.13), and on the
// process's first thread, the answer is yes: asking PyErr_CheckSignals
// there costs a moment and runs nothing on any other thread.
// Not noexcept, like everything that holds the lock and may give it up:
// a thread that takes it back at interpreter exit is ended by a forced
// unwind (guard.hpp).
bool runs_signal_handlers();
// Whether the calling thread is the process's first one, where a signal sent
// to the process lands unless that thread blocks it.
bool on_first_thread() noexcept;

// Releases the interpreter lock for its lifetime. The saved thread state is
// kept per thread, so that a wait in the core on this thread can take the
// lock back for a moment (wait_hook.cpp) and give it up again; so is whether
// that is worth it, which is known only while the lock is held. The
// environment the core's children get is copied first, while the lock
// still keeps os.environ from changing it.
class GilReleased {
 public:
  GilReleased() : outer_(released_state), outer_handlers_(handlers_here) {
    handlers_here = runs_signal_handlers();
    released_state = PyEval_SaveThread();
  }
  // Not noexcept: during finalisation PyEval_RestoreThread ends the thread
  // with a forced unwind, which must pass through here (guard.hpp). When
  // that unwind started in a wait that had taken the state back, there is
  // no state left to restore.
  ~GilReleased() noexcept(false) {
    handlers_here = outer_handlers_;
    if (PyThreadState* state = std::exchange(released_state, outer_)) PyEval_RestoreThread(state);
  }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

  // Whether the calling thread is inside a module call that holds the
  // interpreter lock. Every thread the core sees comes from such a call,
  // and only GilReleased gives the lock up on the way. The thread-local
  // mark is asked rather than PyGILState_Check, which answers "yes" for
  // every thread once a sub-interpreter exists.
  static bool holds_gil() noexcept { return released_state == nullptr; }
  // Whether the thread that released the lock may run signal handlers
  // (runs_signal_handlers, asked as it released it).
  static bool handlers_may_run() noexcept { return handlers_here; }

  // Takes the interpreter lock back for the calling thread, which released
  // it here; during finalisation this ends the thread (see above).
  static void reacquire() { PyEval_RestoreThread(std::exchange(released_state, nullptr)); }
  // Gives it up again after reacquire().
  static void release_again() noexcept { released_state = PyEval_SaveThread(); }

 private:
  inline static thread_local PyThreadState* released_state = nullptr;
  inline static thread_local bool handlers_here = false;
  brackwater::support::CallEnvironment environment_;
  PyThreadState* outer_;
  bool outer_handlers_;
};

// Runs `work` with the interpreter lock released and returns its result.
template <class Work>
auto without_gil(Work&& work) {
  GilReleased released;
  return work();
}

}  // namespace tidemark
