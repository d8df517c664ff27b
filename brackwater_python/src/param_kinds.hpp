// What a parameter accepts: the converters that argument tables (args.hpp)
// name for each parameter, and how a default shows in a text signature.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "support/env_snapshot.hpp"

namespace tidemark {

// Each sets a Python exception and returns false when the value is refused.
// `value` is never null (an absent argument keeps the field's initializer).

// A str; adds the parameter note on failure.
struct AsStr {
  [[nodiscard]] bool convert(PyObject* value, const char* param, std::string& out) const;
  [[nodiscard]] bool convert(PyObject* value, const char* param, std::optional<std::string>& out) const;
};
// A str or an object whose __fspath__ gives one; no parameter note.
struct AsPath {
  [[nodiscard]] bool convert(PyObject* value, const char* param, std::string& out) const;
  [[nodiscard]] bool convert(PyObject* value, const char* param, std::optional<std::string>& out) const;
};
// True, False or a numpy boolean scalar; never an int.
struct AsBool {
  [[nodiscard]] bool convert(PyObject* value, const char* param, bool& out) const;
};
// An int that fits the field.
struct AsInt {
  [[nodiscard]] bool convert(PyObject* value, const char* param, std::optional<int64_t>& out) const;
};
// A dict of str to str; no parameter note.
struct AsEnv {
  [[nodiscard]] bool convert(PyObject* value, const char* param,
                             std::optional<brackwater::support::EnvSnapshot>& out) const;
};
// Any object, borrowed for the call; None is absent (nullptr).
struct AsObject {
  [[nodiscard]] bool convert(PyObject* value, const char* param, PyObject*& out) const;
};
// Any object, None included, borrowed for the call.
struct AsGiven {
  [[nodiscard]] bool convert(PyObject* value, const char*, PyObject*& out) const {
    out = value;
    return true;
  }
};

inline constexpr AsStr as_str;
inline constexpr AsPath as_path;
inline constexpr AsBool as_bool;
inline constexpr AsInt as_int;
inline constexpr AsEnv as_env;
inline constexpr AsObject as_object;
inline constexpr AsGiven as_given;

// How a default shows in a text signature; one overload per field type that
// may hold a default.
std::string default_text(const std::string& value);
std::string default_text(bool value);
std::string default_text(int64_t value);
std::string default_text(uint64_t value);
std::string default_text(PyObject* value);
template <class T>
std::string default_text(const std::optional<T>& value) {
  if (!value) return "None";
  if constexpr (requires { default_text(*value); }) {
    return default_text(*value);
  } else {
    return "...";
  }
}

}  // namespace tidemark
