#include "convert.hpp"

#include "imports.hpp"
#include "infrastructure/json_text.hpp"

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

}  // namespace

std::optional<std::string> py_pathlike_to_string(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    if (auto text = utf8_of(obj)) return text;
    PyErr_Clear();
  }
  PyRef result = PyRef::steal(PyObject_CallMethod(obj, "__fspath__", nullptr));
  if (result) return str_value(result.get());
  PyErr_Clear();
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  std::optional<std::string> type_name = name ? utf8_of(name.get()) : std::nullopt;
  if (!type_name) PyErr_Clear();
  set_error(PyExc_TypeError, "expected str or os.PathLike, got " + type_name.value_or(""));
  return std::nullopt;
}

std::optional<brackwater::domain::EnvMap> py_dict_to_map(PyObject* obj) {
  brackwater::domain::EnvMap map;
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
      map.insert_or_assign(*std::move(k), *std::move(v));
    }
  }
  if (ok) return map;
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
  std::string rfc3339 = *text;
  if (rfc3339.ends_with('Z')) rfc3339.replace(rfc3339.size() - 1, 1, "+00:00");
  if (auto at = brackwater::domain::parse_rfc3339(rfc3339)) return at;
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
