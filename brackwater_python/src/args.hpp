// Argument tables: one declaration per function, method or constructor
// gives its argument matching, its conversions (in their own order) into a
// typed struct, its argument-error texts and its text signature.
//
// How to declare a function:
//
//   struct DirArgs {                       // one field per parameter; the
//     std::string worktree_name;           // initializer of an optional one
//     std::optional<std::string> home;     // is its default, and the text
//     std::optional<int64_t> timeout = 10; // signature shows it ("None",
//   };                                     // "True", "\"\"", "10")
//   constexpr auto dir_table = function<DirArgs>("resolve_worktree_dir",
//       param<&DirArgs::worktree_name>("worktree_name", as_str, required),
//       param<&DirArgs::home>("home", as_str),
//       kwonly<&DirArgs::timeout>("timeout", as_int));
//   PyObject* dir_impl(PyObject* module, DirArgs& a) { ... a.home ... }
//   PyMethodDef resolve_worktree_dir = method_def<dir_table, dir_impl>();
//
// `param` may be passed by position or keyword, `kwonly` by keyword only
// (list every `param` first); `required` marks one without a default. None
// given for a std::optional field resets it (absent) without asking the
// converter; every other field hands None to its converter, which refuses
// it unless it says otherwise (`as_object` takes None as absent, `as_given`
// passes it on). Arguments are converted in parameter order unless the
// table says `.converted_in("b", "a", ...)`; the first failure raises before
// the body runs, and names are checked when compiling. For a method use
// `method<Args>("Class", "name", ...)` (body gets self), for a class method
// `class_method`, for tp_new `constructor<Args>("Class", ...)` with
// `new_slot<table, impl>()` and `text_signature<table>()` as the class doc;
// `NoArgs` for no parameters. A converter is a value whose type has
// `bool convert(PyObject*, const char* param, Field&) const` for each field
// type it fills, setting a Python exception when it refuses.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "guard.hpp"
#include "param_kinds.hpp"
#include "py.hpp"
#include "wait_hook.hpp"

namespace tidemark {

// ---- declaring parameters -------------------------------------------------------

// Marks a parameter without a default.
struct Required {};
inline constexpr Required required;

template <auto Field, class Conv, bool IsRequired>
struct ParamDecl {
  static constexpr bool kRequired = IsRequired;
  const char* name;
  Conv conv;
  bool keyword_only;
};

template <auto Field, class Conv>
consteval ParamDecl<Field, Conv, false> param(const char* name, Conv conv) {
  return {name, conv, false};
}
template <auto Field, class Conv>
consteval ParamDecl<Field, Conv, true> param(const char* name, Conv conv, Required) {
  return {name, conv, false};
}
template <auto Field, class Conv>
consteval ParamDecl<Field, Conv, false> kwonly(const char* name, Conv conv) {
  return {name, conv, true};
}
template <auto Field, class Conv>
consteval ParamDecl<Field, Conv, true> kwonly(const char* name, Conv conv, Required) {
  return {name, conv, true};
}

// What a table describes, which decides the signature's first parameter and
// the name in argument errors.
enum class Callable : uint8_t { function, method, class_method, constructor };

template <class Args, class... Ps>
struct Table {
  using ArgsType = Args;
  static constexpr size_t kCount = sizeof...(Ps);

  Callable callable;
  const char* owner;  // class name; nullptr for module functions
  const char* name;   // "__new__" for constructors
  std::tuple<Ps...> params;
  std::array<Param, kCount> match;         // what the matcher needs of each
  std::array<uint8_t, kCount> order = {};  // conversion order, as parameter indices

  // The same table with its arguments converted in the order named.
  template <class... Names>
  consteval Table converted_in(Names... names) const {
    static_assert(sizeof...(Names) == kCount, "name every parameter once");
    Table copy = *this;
    size_t k = 0;
    ((copy.order[k++] = index_of(names)), ...);
    for (size_t i = 0; i < kCount; ++i) {
      for (size_t j = i + 1; j < kCount; ++j) {
        if (copy.order[i] == copy.order[j]) throw "parameter named twice in the conversion order";
      }
    }
    return copy;
  }

  consteval uint8_t index_of(std::string_view name) const {
    for (size_t i = 0; i < kCount; ++i) {
      if (std::string_view(match[i].name) == name) return static_cast<uint8_t>(i);
    }
    throw "no parameter of that name";
  }

  Signature signature() const { return {callable == Callable::function ? nullptr : owner, name, match}; }
};

template <class Args, class... Ps>
consteval Table<Args, Ps...> make_table(Callable callable, const char* owner, const char* name, Ps... ps) {
  Table<Args, Ps...> table{callable, owner, name, {ps...}, {Param{ps.name, ps.kRequired, ps.keyword_only}...}};
  for (size_t i = 0; i < table.kCount; ++i) table.order[i] = static_cast<uint8_t>(i);
  bool seen_keyword_only = false;
  for (const Param& p : table.match) {
    if (seen_keyword_only && !p.keyword_only) throw "keyword-only parameters come last";
    seen_keyword_only = p.keyword_only;
  }
  return table;
}

template <class Args, class... Ps>
consteval auto function(const char* name, Ps... ps) {
  return make_table<Args>(Callable::function, nullptr, name, ps...);
}
template <class Args, class... Ps>
consteval auto method(const char* owner, const char* name, Ps... ps) {
  return make_table<Args>(Callable::method, owner, name, ps...);
}
template <class Args, class... Ps>
consteval auto class_method(const char* owner, const char* name, Ps... ps) {
  return make_table<Args>(Callable::class_method, owner, name, ps...);
}
template <class Args, class... Ps>
consteval auto constructor(const char* owner, Ps... ps) {
  return make_table<Args>(Callable::constructor, owner, "__new__", ps...);
}

// For tables without parameters.
struct NoArgs {};

// ---- using a table ----------------------------------------------------------------

namespace detail {

template <class T>
using ArgsOf = typename std::remove_cvref_t<T>::ArgsType;

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <size_t I, auto Field, class Conv, bool R, class Args>
[[nodiscard]] bool convert_one(const ParamDecl<Field, Conv, R>& decl, PyObject* value, Args& out) {
  if (value == nullptr) return true;
  auto& field = std::invoke(Field, out);
  if constexpr (kIsOptional<std::remove_cvref_t<decltype(field)>>) {
    if (value == Py_None) {
      field.reset();
      return true;
    }
  }
  return decl.conv.convert(value, decl.name, field);
}

template <auto Field, class Conv, bool R, class Args>
std::string default_of(const ParamDecl<Field, Conv, R>&, const Args& defaults) {
  if constexpr (R) {
    return {};
  } else {
    return "=" + default_text(std::invoke(Field, defaults));
  }
}

// Converts the matched values (borrowed, nullptr where not given) into
// `out`, in the table's order.
template <const auto& T>
[[nodiscard]] bool convert_all(std::span<PyObject* const> given, ArgsOf<decltype(T)>& out) {
  return [&]<size_t... I>(std::index_sequence<I...>) {
    return std::ranges::all_of(T.order, [&](uint8_t index) {
      bool ok = true;
      ((I == index ? (ok = convert_one<I>(std::get<I>(T.params), given[I], out)) : false), ...);
      return ok;
    });
  }(std::make_index_sequence<std::remove_cvref_t<decltype(T)>::kCount>());
}

template <const auto& T>
std::string render_signature() {
  using Args = ArgsOf<decltype(T)>;
  const Args defaults{};
  std::string text = T.callable == Callable::constructor ? T.owner : T.name;
  text += '(';
  if (T.callable == Callable::method) text += "$self";
  if (T.callable == Callable::class_method) text += "$cls";
  bool keyword_only = false;
  std::apply(
      [&](const auto&... decl) {
        (
            [&] {
              if (text.back() != '(') text += ", ";
              if (decl.keyword_only && !keyword_only) {
                keyword_only = true;
                text += "*, ";
              }
              text += decl.name;
              text += default_of(decl, defaults);
            }(),
            ...);
      },
      T.params);
  return text + ")\n--\n\n";
}

}  // namespace detail

// The text signature of a table ("name(a, *, b=None)\n--\n\n"), made once.
template <const auto& T>
const char* text_signature() {
  static const std::string text = detail::render_signature<T>();
  return text.c_str();
}

// Matches and converts the arguments of a fast call into `out`.
template <const auto& T>
[[nodiscard]] bool parse_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              detail::ArgsOf<decltype(T)>& out) {
  std::array<PyObject*, std::remove_cvref_t<decltype(T)>::kCount> given{};
  return match_args(T.signature(), args, nargs, kwnames, given) && detail::convert_all<T>(given, out);
}

// The same for the (tuple, dict) form.
template <const auto& T>
[[nodiscard]] bool parse_args(PyObject* args, PyObject* kwargs, detail::ArgsOf<decltype(T)>& out) {
  std::array<PyObject*, std::remove_cvref_t<decltype(T)>::kCount> given{};
  return match_args(T.signature(), args, kwargs, given) && detail::convert_all<T>(given, out);
}

// ---- entries made from a table ----------------------------------------------------
// `Impl` is `PyObject* (PyObject* self, Args&)`; for constructors
// `PyObject* (PyTypeObject*, Args&)`. Every entry runs inside the guard, as
// one interruptible call: when a signal handler ended one of its waits, the
// entry raises that handler's exception whatever `Impl` made of the core's
// answer (wait_hook.hpp).

namespace detail {

template <const auto& T, auto Impl>
PyObject* fastcall_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return interruptible_call([&]() -> PyObject* {
    ArgsOf<decltype(T)> converted{};
    if (!parse_args<T>(args, nargs, kwnames, converted)) return nullptr;
    return Impl(self, converted);
  });
}

template <const auto& T, auto Impl>
PyObject* noargs_body(PyObject* self, PyObject*) {
  return interruptible_call([&] {
    ArgsOf<decltype(T)> none{};
    return Impl(self, none);
  });
}

template <const auto& T, auto Impl>
PyObject* new_body(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return interruptible_call([&]() -> PyObject* {
    ArgsOf<decltype(T)> converted{};
    if (!parse_args<T>(args, kwargs, converted)) return nullptr;
    return Impl(type, converted);
  });
}

}  // namespace detail

// The method definition of a function, method or class method. A module
// function without parameters uses the no-argument convention; everything
// else the fast convention with keywords.
template <const auto& T, auto Impl>
PyMethodDef method_def() {
  constexpr bool noargs = T.callable == Callable::function && T.kCount == 0;
  constexpr int class_flag = T.callable == Callable::class_method ? METH_CLASS : 0;
  if constexpr (noargs) {
    return {T.name, guard<detail::noargs_body<T, Impl>>, METH_NOARGS, text_signature<T>()};
  } else {
    return {T.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<detail::fastcall_body<T, Impl>>)),
            METH_FASTCALL | METH_KEYWORDS | class_flag, text_signature<T>()};
  }
}

// The tp_new slot of a class with a constructor table.
template <const auto& T, auto Impl>
void* new_slot() {
  return reinterpret_cast<void*>(guard<detail::new_body<T, Impl>>);
}

}  // namespace tidemark
