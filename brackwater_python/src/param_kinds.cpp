#include "param_kinds.hpp"

#include "convert.hpp"
#include "py.hpp"

namespace tidemark {

bool AsStr::convert(PyObject* value, const char* param, std::string& out) const {
  return extract_str(value, param, out);
}

bool AsStr::convert(PyObject* value, const char* param, std::optional<std::string>& out) const {
  return extract_optional_str(value, param, out);
}

bool AsPath::convert(PyObject* value, const char*, std::string& out) const {
  auto text = py_pathlike_to_string(value);
  if (!text) return false;
  out = *std::move(text);
  return true;
}

bool AsPath::convert(PyObject* value, const char* param, std::optional<std::string>& out) const {
  return convert(value, param, out.emplace());
}

bool AsBool::convert(PyObject* value, const char* param, bool& out) const { return extract_bool(value, param, out); }

bool AsInt::convert(PyObject* value, const char* param, std::optional<int64_t>& out) const {
  return extract_optional_i64(value, param, out);
}

bool AsEnv::convert(PyObject* value, const char*, std::optional<brackwater::support::EnvSnapshot>& out) const {
  out = py_dict_to_env(value);
  return out.has_value();
}

bool AsObject::convert(PyObject* value, const char*, PyObject*& out) const {
  out = value == Py_None ? nullptr : value;
  return true;
}

std::string default_text(const std::string& value) {
  std::string text = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  return text + '"';
}

std::string default_text(bool value) { return value ? "True" : "False"; }
std::string default_text(int64_t value) { return std::to_string(value); }
std::string default_text(uint64_t value) { return std::to_string(value); }
std::string default_text(PyObject* value) { return value == nullptr ? "None" : "..."; }

}  // namespace tidemark
