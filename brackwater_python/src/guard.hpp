// The one guard around every entry from CPython: a C++ exception that
// unwound into the interpreter would abort the process, so each function,
// method, constructor, slot, getter, setter and deallocator the interpreter
// calls is `guard<f>` rather than `f`.
//
// One unwind must pass: a thread that re-takes the interpreter lock while the
// interpreter is finalising is ended by pthread_exit, a forced unwind through
// our frames and on into the interpreter's. Catching it, or meeting a
// noexcept frame on the way, ends the whole process in std::terminate; so
// the guard rethrows it and is not itself noexcept.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <type_traits>

namespace tidemark {

// Sets the Python form of the exception being handled: MemoryError for
// std::bad_alloc, RuntimeError with what() for the rest.
void set_error_from_current_exception() noexcept;

namespace detail {

template <auto F, class Fn = decltype(F)>
struct Guarded;

template <auto F, class R, class... A>
struct Guarded<F, R (*)(A...) noexcept> : Guarded<F, R (*)(A...)> {};

template <auto F, class R, class... A>
struct Guarded<F, R (*)(A...)> {
  // The forced unwind carries no C++ object, so the reference its handler
  // binds is null by design; the sanitizer's null check must not flag it.
  [[gnu::no_sanitize("null")]] static R call(A... a) {
    try {
      return F(a...);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      set_error_from_current_exception();
      if constexpr (std::is_void_v<R>) {
        PyErr_WriteUnraisable(nullptr);  // a deallocator has nobody to raise to
      } else if constexpr (std::is_pointer_v<R>) {
        return nullptr;
      } else {
        return -1;
      }
    }
  }
};

}  // namespace detail

// `f` with every C++ exception turned into the interpreter's error value
// (nullptr, -1, or an unraisable report for deallocators).
template <auto F>
inline constexpr auto guard = &detail::Guarded<F>::call;

// A type slot's function, guarded.
template <auto F>
void* slot() {
  return reinterpret_cast<void*>(guard<F>);
}

// A read-only attribute, or (with `Set`) a writable one, guarded.
template <auto Get, auto Set = nullptr>
PyGetSetDef getter(const char* name) {
  if constexpr (Set == nullptr) {
    return {name, guard<Get>, nullptr, nullptr, nullptr};
  } else {
    return {name, guard<Get>, guard<Set>, nullptr, nullptr};
  }
}

}  // namespace tidemark
