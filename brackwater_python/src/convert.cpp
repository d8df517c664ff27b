#include "convert.hpp"

#include <utility>
#include <vector>

#include "imports.hpp"
#include "infrastructure/json_text.hpp"
#include "support/text.hpp"

namespace tidemark {
namespace {

// "<qualified type name>: <str(exc)>" of the exception currently set, which
// is cleared.
std::string describe_and_clear_current() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value), owned_tb = PyRef::steal(tb);
  std::string out = owned_value ? type_qualname(owned_value.get()) : std::string();
  PyRef text = owned_value ? PyRef::steal(PyObject_Str(owned_value.get())) : PyRef();
  std::optional<std::string> utf8 = text ? utf8_of(text.get()) : std::nullopt;
  if (!utf8) {
    PyErr_Clear();
    return out + ": <exception str() failed>";
  }
  return out + ": " + *utf8;
}

// Text of a str that encodes as UTF-8, with the module's wrong-type error
// for anything else.
std::optional<std::string> str_value(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    set_wrong_type(obj, "str");
    return std::nullopt;
  }
  return utf8_of(obj);
}

// An attribute name as the interpreter's interned str. The type attribute
// cache keeps a reference to the name object it was asked with, keyed by
// its address: a fresh str on every call would fill the cache's slots with
// dead names (bounded, but it looks like a leak for thousands of calls).
PyRef interned(const char* name) { return PyRef::steal(PyUnicode_InternFromString(name)); }

PyRef get_attr(PyObject* obj, const char* name) {
  PyRef key = interned(name);
  return key ? PyRef::steal(PyObject_GetAttr(obj, key.get())) : PyRef();
}

PyRef call_method(PyObject* obj, const char* name) {
  PyRef key = interned(name);
  return key ? PyRef::steal(PyObject_CallMethodObjArgs(obj, key.get(), nullptr)) : PyRef();
}

}  // namespace

std::optional<std::string> py_pathlike_to_string(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    if (auto text = utf8_of(obj)) return text;
    PyErr_Clear();
  }
  PyRef result = call_method(obj, "__fspath__");
  if (result) return str_value(result.get());
  PyErr_Clear();
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  std::optional<std::string> type_name = name ? utf8_of(name.get()) : std::nullopt;
  if (!type_name) PyErr_Clear();
  set_error(PyExc_TypeError, "expected str or os.PathLike, got " + type_name.value_or(""));
  return std::nullopt;
}

namespace {

// Whether sys.<function>() returns the str `expected`.
bool sys_text_is(const char* function, std::string_view expected) {
  PyObject* fn = PySys_GetObject(function);  // borrowed
  PyRef text = fn != nullptr ? PyRef::steal(PyObject_CallNoArgs(fn)) : PyRef();
  std::optional<std::string> utf8 = text && PyUnicode_Check(text.get()) ? utf8_of(text.get()) : std::nullopt;
  if (!utf8) PyErr_Clear();
  return utf8 == expected;
}

// The standard os.environ keeps the environment as bytes in `_data` and
// decodes each key and value with the file-system encoding and
// "surrogateescape" on every read. With that encoding UTF-8, a pair reads as
// text that encodes to UTF-8 exactly when both byte strings are valid UTF-8,
// so reading `_data` gives the snapshot that iterating items() gives, without
// a generator step and two decodes per variable. nullopt when os.environ is
// not that object (replaced, or another encoding): items() must be used.
std::optional<brackwater::support::EnvSnapshot> standard_environ_snapshot(PyObject* os, PyObject* environ) {
  PyRef cls = get_attr(os, "_Environ");
  if (!cls || reinterpret_cast<PyObject*>(Py_TYPE(environ)) != cls.get()) {
    PyErr_Clear();
    return std::nullopt;
  }
  PyRef data = get_attr(environ, "_data");
  if (!data || !PyDict_CheckExact(data.get()) || !sys_text_is("getfilesystemencoding", "utf-8") ||
      !sys_text_is("getfilesystemencodeerrors", "surrogateescape")) {
    PyErr_Clear();
    return std::nullopt;
  }
  // The pairs are gathered as views into the bytes objects first (no Python
  // code runs meanwhile, so they stay alive), so that the copy is sized once.
  std::vector<std::pair<std::string_view, std::string_view>> pairs;
  pairs.reserve(static_cast<size_t>(PyDict_Size(data.get())));
  size_t bytes = 0;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(data.get(), &pos, &key, &value)) {
    char* k = nullptr;
    char* v = nullptr;
    Py_ssize_t kn = 0, vn = 0;
    if (!PyBytes_Check(key) || !PyBytes_Check(value)) return std::nullopt;
    if (PyBytes_AsStringAndSize(key, &k, &kn) < 0 || PyBytes_AsStringAndSize(value, &v, &vn) < 0) {
      PyErr_Clear();
      return std::nullopt;
    }
    const std::string_view key_bytes(k, static_cast<size_t>(kn)), value_bytes(v, static_cast<size_t>(vn));
    if (brackwater::support::is_utf8(key_bytes) && brackwater::support::is_utf8(value_bytes)) {
      pairs.emplace_back(key_bytes, value_bytes);
      bytes += key_bytes.size() + value_bytes.size();
    }
  }
  brackwater::support::EnvSnapshot snapshot;
  snapshot.reserve(pairs.size(), bytes);
  for (const auto& [k, v] : pairs) snapshot.add(k, v);
  return snapshot;
}

}  // namespace

std::optional<brackwater::support::EnvSnapshot> read_py_env() {
  // The import finds os in sys.modules on every call but the first; looking
  // there directly spares the import machinery's Python-level steps.
  PyRef name = interned("os");
  PyRef os = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
  if (!os && !PyErr_Occurred()) os = PyRef::steal(PyImport_ImportModule("os"));
  if (!os) return std::nullopt;
  PyRef environ = get_attr(os.get(), "environ");
  if (!environ) return std::nullopt;
  if (auto snapshot = standard_environ_snapshot(os.get(), environ.get())) return snapshot;
  PyRef items = call_method(environ.get(), "items");
  PyRef iter = items ? PyRef::steal(PyObject_GetIter(items.get())) : PyRef();
  if (!iter) return std::nullopt;
  brackwater::support::EnvSnapshot map;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!PyTuple_Check(item.get())) {
      set_wrong_type(item.get(), "tuple");
      return std::nullopt;
    }
    if (const Py_ssize_t n = PyTuple_Size(item.get()); n != 2) {
      set_error(PyExc_TypeError, "expected tuple of length 2, got length " + std::to_string(n));
      return std::nullopt;
    }
    PyObject* key = PyTuple_GetItem(item.get(), 0);
    PyObject* value = PyTuple_GetItem(item.get(), 1);
    if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) continue;
    auto k = utf8_of(key);
    auto v = k ? utf8_of(value) : std::nullopt;
    if (!k || !v) {
      PyErr_Clear();
      continue;
    }
    map.add(*k, *v);
  }
  if (PyErr_Occurred()) return std::nullopt;
  return map;
}

std::optional<brackwater::support::EnvSnapshot> py_dict_to_env(PyObject* obj) {
  brackwater::support::EnvSnapshot env;
  bool ok = PyDict_Check(obj);
  if (!ok) set_wrong_type(obj, "dict");
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (ok && PyDict_Next(obj, &pos, &key, &value)) {
    auto k = str_value(key);
    auto v = k ? str_value(value) : std::nullopt;
    if (!k || !v) {
      ok = false;
    } else {
      env.add(*k, *v);
    }
  }
  if (ok) return env;
  const std::string error = describe_and_clear_current();
  set_error(PyExc_TypeError, "env must be a mapping of str to str: " + error);
  return std::nullopt;
}

std::optional<nlohmann::json> py_obj_to_json(PyObject* obj) {
  PyRef dumps = imported(Imported::json_dumps);
  if (!dumps) return std::nullopt;
  PyRef text = PyRef::steal(PyObject_CallFunctionObjArgs(dumps.get(), obj, nullptr));
  if (!text) return std::nullopt;
  auto utf8 = str_value(text.get());
  if (!utf8) return std::nullopt;
  // Non-finite floats and integers beyond a double are text json.dumps
  // writes and the parser refuses.
  auto value = brackwater::infrastructure::parse_json_text(*utf8);
  if (!value) {
    set_error(PyExc_ValueError, value.error().detail());
    return std::nullopt;
  }
  return *std::move(value);
}

std::optional<brackwater::domain::UtcInstant> py_datetime_to_utc(PyObject* obj) {
  PyRef iso = PyRef::steal(PyObject_CallMethod(obj, "isoformat", nullptr));
  if (!iso) {
    PyErr_Clear();
    set_error(PyExc_TypeError, "expected a datetime.datetime");
    return std::nullopt;
  }
  auto text = str_value(iso.get());
  if (!text) return std::nullopt;
  if (auto at = brackwater::domain::parse_rfc3339(*text)) return at;
  if (auto at = brackwater::domain::parse_naive_datetime(*text)) return at;
  set_error(PyExc_ValueError, "unparseable datetime: " + *text);
  return std::nullopt;
}

PyRef json_value_to_pydict(const nlohmann::json& value) {
  PyRef loads = imported(Imported::json_loads);
  if (!loads) return {};
  PyRef text = py_str(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  if (!text) return {};
  PyRef loaded = PyRef::steal(PyObject_CallFunctionObjArgs(loads.get(), text.get(), nullptr));
  if (!loaded) return {};
  if (!PyDict_Check(loaded.get())) {
    if (loaded.get() == Py_None) {
      PyErr_SetString(PyExc_ValueError, "'None' is not an instance of 'dict'");
    } else {
      PyErr_SetString(PyExc_ValueError,
                      ("'" + type_qualname(loaded.get()) + "' object is not an instance of 'dict'").c_str());
    }
    return {};
  }
  return loaded;
}

}  // namespace tidemark
