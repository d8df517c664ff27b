// Instances of the module's classes: a Python object that owns one C++
// value. The value is created with the object and destroyed with it; no
// Python object is held inside, so the classes need no garbage collection.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "py.hpp"

namespace tidemark {

template <class T>
struct Box {
  PyObject_HEAD T* value;
  std::atomic<int> borrow;  // 0 free, >0 shared readers, -1 one writer
};

// A new instance of `type` that takes over `value` where it is (not null).
template <class T>
PyRef box_adopt(PyTypeObject* type, std::unique_ptr<T> value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef obj = PyRef::steal(alloc(type, 0));
  if (!obj) return obj;
  auto* box = reinterpret_cast<Box<T>*>(obj.get());
  new (&box->borrow) std::atomic<int>(0);
  box->value = value.release();
  return obj;
}

// A new instance of `type` holding `value`.
template <class T>
PyRef box_new(PyTypeObject* type, T value) {
  std::unique_ptr<T> held(new (std::nothrow) T(std::move(value)));
  if (!held) {
    PyErr_NoMemory();
    return {};
  }
  return box_adopt(type, std::move(held));
}

template <class T>
void box_dealloc(PyObject* self) noexcept {
  auto* box = reinterpret_cast<Box<T>*>(self);
  delete box->value;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

template <class T>
T& unbox(PyObject* self) noexcept {
  return *reinterpret_cast<Box<T>*>(self)->value;
}

template <class T>
std::atomic<int>& borrow_flag(PyObject* self) noexcept {
  return reinterpret_cast<Box<T>*>(self)->borrow;
}

// Type flags of the module's classes. Every class is final (no subclasses)
// and immutable (no attribute assignment on the type); Python code makes
// instances of the first kind, only the module makes those of the second.
inline constexpr unsigned long kFinalImmutableInstantiable = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
inline constexpr unsigned long kFinalImmutableNotInstantiable =
    kFinalImmutableInstantiable | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// A class made from `spec` once per process; later calls hand out the same
// type object (new reference).
PyRef type_once(PyObject*& slot, PyType_Spec& spec);

// The type object a reference holds, for the calls that take a PyTypeObject*.
inline PyTypeObject* as_type(const PyRef& ref) noexcept { return reinterpret_cast<PyTypeObject*>(ref.get()); }

}  // namespace tidemark
