// Conversions between Python objects and the plain values the core works
// with, beyond plain text, integer and boolean parameters. Each copies what
// it reads: results own their data and refer to no Python object. On failure
// a Python exception is set and nullopt (or a null reference) returned.
#pragma once

#include <Python.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "domain/binding.hpp"
#include "domain/timestamp.hpp"
#include "py.hpp"
#include "support/env_snapshot.hpp"

namespace tidemark {

// A str (encodable as UTF-8) or an object whose __fspath__ returns one.
[[nodiscard]] std::optional<std::string> py_pathlike_to_string(PyObject* obj);

// A snapshot of os.environ as Python code sees it now: pairs whose key or
// value is not a str encodable as UTF-8 are left out. Exceptions of the
// import, of items() and of the iteration propagate.
std::optional<brackwater::support::EnvSnapshot> read_py_env();

// A dict (or subclass) of str to str; TypeError
// "env must be a mapping of str to str: <error>" otherwise.
[[nodiscard]] std::optional<brackwater::support::EnvSnapshot> py_dict_to_env(PyObject* obj);

// Any object json.dumps accepts, parsed back into a JSON value.
[[nodiscard]] std::optional<nlohmann::json> py_obj_to_json(PyObject* obj);

// The instant a datetime names: its isoformat() read as RFC 3339, or, when
// it has no offset, as a wall-clock time in UTC. TypeError "expected a
// datetime.datetime" when isoformat() cannot be called; ValueError
// "unparseable datetime: <text>" when its text is neither form.
std::optional<brackwater::domain::UtcInstant> py_datetime_to_utc(PyObject* obj);

// A JSON object as a new dict, built by json.loads.
PyRef json_value_to_pydict(const nlohmann::json& value);

}  // namespace tidemark
