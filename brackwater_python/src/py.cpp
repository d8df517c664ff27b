#include "py.hpp"

#include "guard.hpp"
#include "imports.hpp"

#include <exception>
#include <new>

namespace tidemark {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void set_type_error(const std::string& text) { set_error(PyExc_TypeError, text); }

// The matching rules shared by both calling conventions: too many
// positional arguments first, then each keyword in the order passed, then
// missing positional parameters, then missing keyword-only ones.
class Matcher {
 public:
  Matcher(const Signature& sig, std::span<PyObject*> out) : sig_(sig), out_(out) {
    for (auto& slot : out_) slot = nullptr;
    for (const auto& p : sig_.params) {
      if (p.keyword_only) continue;
      ++max_pos_;
      if (p.required) ++min_pos_;
    }
  }

  bool positional(PyObject* const* args, Py_ssize_t n) {
    if (n > max_pos_) {
      const char* verb = n == 1 ? "was" : "were";
      std::string text = sig_.display();
      if (min_pos_ == max_pos_) {
        text += " takes " + std::to_string(max_pos_) + " positional arguments but ";
      } else {
        text += " takes from " + std::to_string(min_pos_) + " to " + std::to_string(max_pos_) +
                " positional arguments but ";
      }
      set_type_error(text + std::to_string(n) + " " + verb + " given");
      return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) out_[static_cast<size_t>(i)] = args[i];
    return true;
  }

  bool keyword(PyObject* name, PyObject* value) {
    for (size_t i = 0; i < sig_.params.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(name, sig_.params[i].name) != 0) continue;
      if (out_[i] != nullptr) {
        set_type_error(sig_.display() + " got multiple values for argument '" + sig_.params[i].name + "'");
        return false;
      }
      out_[i] = value;
      return true;
    }
    auto text = utf8_of(name);
    if (!text) {
      PyErr_Clear();
      text = "?";
    }
    set_type_error(sig_.display() + " got an unexpected keyword argument '" + *text + "'");
    return false;
  }

  bool finish() {
    for (bool kw_only : {false, true}) {
      std::vector<const char*> missing;
      for (size_t i = 0; i < sig_.params.size(); ++i) {
        const auto& p = sig_.params[i];
        if (p.keyword_only == kw_only && p.required && out_[i] == nullptr) missing.push_back(p.name);
      }
      if (missing.empty()) continue;
      set_type_error(sig_.display() + " missing " + std::to_string(missing.size()) + " required " +
                     (kw_only ? "keyword " : "positional ") + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                     quoted_list(missing));
      return false;
    }
    return true;
  }

 private:
  const Signature& sig_;
  std::span<PyObject*> out_;
  Py_ssize_t max_pos_ = 0;
  Py_ssize_t min_pos_ = 0;
};

bool is_numpy_bool(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  PyRef name = PyRef::steal(PyType_GetName(type));
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!name || !module) {
    PyErr_Clear();
    return false;
  }
  const bool bool_name = PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
  return bool_name && PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

std::string Signature::display() const {
  std::string text = owner != nullptr ? std::string(owner) + "." : std::string();
  return text + name + "()";
}

bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<PyObject*> out) {
  Matcher m(sig, out);
  const Py_ssize_t npos = nargs;  // METH_FASTCALL hands over the plain count
  if (!m.positional(args, npos)) return false;
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!m.keyword(PyTuple_GetItem(kwnames, i), args[npos + i])) return false;
  }
  return m.finish();
}

bool match_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  Matcher m(sig, out);
  const Py_ssize_t npos = args ? PyTuple_Size(args) : 0;
  std::vector<PyObject*> positional;
  positional.reserve(static_cast<size_t>(npos));
  for (Py_ssize_t i = 0; i < npos; ++i) positional.push_back(PyTuple_GetItem(args, i));
  if (!m.positional(positional.data(), npos)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!m.keyword(key, value)) return false;
    }
  }
  return m.finish();
}

std::optional<std::string> utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<size_t>(size));
}

std::string type_qualname(PyObject* value) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
  std::optional<std::string> text = name ? utf8_of(name.get()) : std::nullopt;
  if (!text) {
    PyErr_Clear();
    return {};
  }
  return *text;
}

void set_error(PyObject* type, std::string_view text) {
  PyRef str = py_str(text);
  if (str) PyErr_SetObject(type, str.get());
}

void set_wrong_type(PyObject* value, const char* expected) {
  if (value == Py_None) {
    set_type_error(std::string("'None' is not an instance of '") + expected + "'");
  } else {
    set_type_error("'" + type_qualname(value) + "' object is not an instance of '" + expected + "'");
  }
}

void add_note_to_current(const std::string& note) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  if (value != nullptr) {
    PyRef result = PyRef::steal(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, tb);
}

void add_param_note(const char* param) { add_note_to_current(std::string("while processing '") + param + "'"); }

bool extract_str(PyObject* value, const char* param, std::string& out) {
  if (!PyUnicode_Check(value)) {
    set_wrong_type(value, "str");
    add_param_note(param);
    return false;
  }
  auto text = utf8_of(value);
  if (!text) {
    add_param_note(param);
    return false;
  }
  out = *std::move(text);
  return true;
}

bool extract_optional_str(PyObject* value, const char* param, std::optional<std::string>& out) {
  if (value == nullptr || value == Py_None) {
    out.reset();
    return true;
  }
  std::string text;
  if (!extract_str(value, param, text)) return false;
  out = std::move(text);
  return true;
}

bool extract_bool(PyObject* value, const char* param, bool& out) {
  if (PyBool_Check(value)) {
    out = value == Py_True;
    return true;
  }
  if (is_numpy_bool(value)) {
    PyRef result = PyRef::steal(PyObject_CallMethod(value, "__bool__", nullptr));
    if (result && PyBool_Check(result.get())) {
      out = result.get() == Py_True;
      return true;
    }
    if (result) set_wrong_type(result.get(), "bool");
    add_param_note(param);
    return false;
  }
  set_wrong_type(value, "bool");
  add_param_note(param);
  return false;
}

bool extract_optional_i64(PyObject* value, const char* param, std::optional<int64_t>& out) {
  if (value == nullptr || value == Py_None) {
    out.reset();
    return true;
  }
  if (!PyLong_Check(value)) {
    set_wrong_type(value, "int");
    add_param_note(param);
    return false;
  }
  const long long n = PyLong_AsLongLong(value);
  if (n == -1 && PyErr_Occurred()) {
    add_param_note(param);
    return false;
  }
  out = n;
  return true;
}

bool extract_instance(PyObject* value, PyTypeObject* type, const char* param) {
  if (Py_TYPE(value) == type) return true;
  PyRef name = PyRef::steal(PyType_GetName(type));
  std::optional<std::string> text = name ? utf8_of(name.get()) : std::nullopt;
  if (!text) PyErr_Clear();
  set_wrong_type(value, text ? text->c_str() : "?");
  add_param_note(param);
  return false;
}

PyRef py_str(std::string_view text) {
  return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef py_bool(bool value) { return PyRef::steal(PyBool_FromLong(value ? 1 : 0)); }

PyRef py_int(int64_t value) { return PyRef::steal(PyLong_FromLongLong(value)); }

PyRef py_tuple_of_strs(const std::vector<std::string>& items) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return tuple;
  for (size_t i = 0; i < items.size(); ++i) {
    PyRef item = py_str(items[i]);
    if (!item) return {};
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return tuple;
}

PyRef py_path(std::string_view text) {
  PyRef cls = imported(Imported::path_class);
  if (!cls) return {};
  PyRef arg = py_str(text);
  if (!arg) return {};
  return PyRef::steal(PyObject_CallFunctionObjArgs(cls.get(), arg.get(), nullptr));
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_error(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error");
  }
}

}  // namespace tidemark
